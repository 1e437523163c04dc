#pragma once

// Shared set-up of the portholdctl tests: a world-readable web root, a private
// settings folder, and helpers that run portholdctl on them.

#include "common/ApacheHarness.h"
#include "ctl/CtlRunner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace ctl_test {

namespace fs = std::filesystem;

inline std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    ::chmod(path.c_str(), 0644);
}

inline bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

/// Every file below the folders with its bytes and modification time, so
/// that comparing two snapshots also shows a rewrite with equal bytes.
inline std::map<std::string, std::string> snapshot(std::initializer_list<fs::path> folders) {
    std::map<std::string, std::string> files;
    for (const fs::path &folder : folders)
        for (const auto &entry : fs::recursive_directory_iterator(folder)) {
            if (!entry.is_regular_file())
                continue;
            struct stat info {};
            ::stat(entry.path().c_str(), &info);
            files[entry.path().string()] = std::to_string(info.st_mtim.tv_sec) + "." +
                                           std::to_string(info.st_mtim.tv_nsec) + "\n" +
                                           readFile(entry.path());
        }
    return files;
}

inline std::string describe(const ctl_runner::Result &result) {
    return "exit " + std::to_string(result.exitCode) + "\n--- stdout\n" + result.out + "--- stderr\n" +
           result.err;
}

/// A web root and a settings folder of its own for each test program.
class CtlEnvironment {
public:
    CtlEnvironment() {
        ::umask(022); // what Apache's workers read must stay readable by them
        m_root = apache_harness::makeReadableTempFolder("porthold-web");
        m_config = apache_harness::makeReadableTempFolder("porthold-config");
    }
    ~CtlEnvironment() {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
        fs::remove_all(m_config, ignored);
    }
    CtlEnvironment(const CtlEnvironment &) = delete;
    CtlEnvironment &operator=(const CtlEnvironment &) = delete;

    const fs::path &root() const { return m_root; }
    const fs::path &config() const { return m_config; }

    /// A folder below the root holding an "index.html", every level readable.
    fs::path makeFolder(const std::string &relative) const {
        const fs::path folder = m_root / relative;
        fs::create_directories(folder);
        for (fs::path p = folder; p != m_root && p.has_relative_path(); p = p.parent_path())
            ::chmod(p.c_str(), 0755);
        writeFile(folder / "index.html", "<p>" + relative + "</p>\n");
        return folder;
    }

    /// portholdctl --root <root> arguments...
    ctl_runner::Result run(std::vector<std::string> arguments, const std::string &input = {}) const {
        arguments.insert(arguments.begin(), {"--root", m_root.string()});
        return ctl_runner::run(arguments, m_config.string(), input);
    }

    /// portholdctl without --root, so the web root comes from the settings.
    ctl_runner::Result runWithoutRoot(const std::vector<std::string> &arguments,
                                      const std::string &input = {}) const {
        return ctl_runner::run(arguments, m_config.string(), input);
    }

    fs::path settingsFile() const { return m_config / "porthold" / "com.quillmere.porthold.plist"; }

private:
    fs::path m_root;
    fs::path m_config;
};

} // namespace ctl_test

/// Runs portholdctl and expects success, showing both outputs otherwise.
#define CTL_OK(env, ...)                                                                                     \
    do {                                                                                                     \
        const auto ctlResult_ = (env).run(__VA_ARGS__);                                                      \
        ASSERT_EQ(ctlResult_.exitCode, 0) << ctl_test::describe(ctlResult_);                                 \
    } while (0)
