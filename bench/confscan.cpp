// Runs the configuration tokenizer over one file, as the server tab does to
// find its log files, and prints how many lines carry one of the tokens.
#include "server/PHConfParser.h"

#include <QString>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: phbench-confscan FILE\n");
        return 2;
    }
    const auto parser = PHConfParser::initWithFile(QString::fromLocal8Bit(argv[1]));
    if (!parser) {
        std::fprintf(stderr, "phbench-confscan: no file %s\n", argv[1]);
        return 1;
    }
    parser->setTokens({QStringLiteral("CustomLog"), QStringLiteral("ErrorLog"), QStringLiteral("Include")});
    long found = 0;
    parser->scan([&](const QString &, const QString &, qint32) { ++found; });
    std::printf("%ld\n", found);
    return 0;
}
