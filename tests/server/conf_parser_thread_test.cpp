// A parse whose thread cannot be created: nothing may wait for it, and the
// server controller is still made. Thread creation is refused by this test
// program's own pthread_create, which the C++ library calls in its place.

#include "server/PHApacheController.h"
#include "server/PHConfParser.h"

#include "ServerTestSupport.h"
#include "common/TestModelContext.h"
#include "core/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>

#include <dlfcn.h>
#include <pthread.h>

namespace {
std::atomic<bool> g_refuseThreads{false};
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *),
                              void *argument) {
    if (g_refuseThreads.load())
        return EAGAIN;
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return real(thread, attributes, start, argument);
}

namespace {

class Recorder : public QObject, public PHConfParserDelegate {
public:
    int found = 0;
    void parserParsedTokenInLineAtLineNumberOfFile(PHConfParser *, const QString &, const QString &, qint32,
                                                   const QString &) override {
        ++found;
    }
};

/// Whether waitForAllParses returns within a few seconds.
bool waitingEnds() {
    auto waiting = std::async(std::launch::async, [] { PHConfParser::waitForAllParses(); });
    return waiting.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

TEST(ConfParserWithoutThreads, AParseThatCannotStartIsUndoneAndReported) {
    servertest::application();
    QStringList lines;
    Log::setCapture(&lines);
    Recorder recorder;
    auto parser = PHConfParser::initWithString(QStringLiteral("ErrorLog x\n"));
    parser->setDelegate(&recorder);
    parser->setTokens({"ErrorLog"});

    g_refuseThreads = true;
    EXPECT_FALSE(parser->parse());
    g_refuseThreads = false;
    EXPECT_FALSE(parser->isParsing());
    EXPECT_TRUE(waitingEnds()) << "a parse that never started is waited for";
    EXPECT_EQ(lines.filter("could not start reading").size(), 1) << lines.join('\n').toStdString();

    // With threads again, the same parser parses.
    EXPECT_TRUE(parser->parse());
    ASSERT_TRUE(servertest::waitFor([&] {
        QCoreApplication::processEvents();
        return !parser->isParsing() && recorder.found == 1;
    }));
    Log::setCapture(nullptr);
}

TEST(ConfParserWithoutThreads, TheControllerIsMadeWhenItsLogSearchCannotStart) {
    servertest::application();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString conf = dir.filePath("conf");
    servertest::writeFile(conf + "/httpd.conf", "ErrorLog \"/var/log/x\"\n");
    servertest::freshDefaults(dir.filePath("config"), {{"ApacheBinaryLocation", dir.filePath("phsrvnone")},
                                                       {"Override Conf Directory Location", true},
                                                       {"Apache Conf Directory", conf}});
    TestModelContext context;
    // The layout is loaded, so the controller starts its log search.
    context.bundle = dir.filePath("Porthold.panel");
    QDir().mkpath(context.bundle + "/Resources");
    ASSERT_TRUE(QFile::copy(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/ApacheControl.ui"),
                            context.bundle + "/Resources/ApacheControl.ui"));
    QStringList lines;
    Log::setCapture(&lines);
    g_refuseThreads = true;
    bool made = false;
    try {
        PHApacheController controller(nullptr, context.model(), context.bundle);
        made = true;
    } catch (...) {
    }
    g_refuseThreads = false;
    Log::setCapture(nullptr);
    EXPECT_TRUE(made);
    EXPECT_TRUE(waitingEnds());
    EXPECT_EQ(lines.filter("could not start reading " + conf + "/httpd.conf").size(), 1)
        << lines.join('\n').toStdString();
}

} // namespace
