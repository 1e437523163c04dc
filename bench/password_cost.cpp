// How long Apache takes to answer an authenticated request, for each password
// hash scheme and bcrypt cost the panel could write. The server checks the
// password on every request (once per image on a page) and does not cache the
// result for file providers, so the hash's cost is paid per request.
//
//   build/bench/password_cost [--rounds N] [--max-cost C] [--ratio R]
//   build/bench/password_cost --request des|bcrypt [--rounds N]
//
// Prints one line per scheme and cost with the median time per request, its
// ratio to the DES request, and the highest bcrypt cost within R (default 3)
// times the DES request, next to the cost new passwords use now. Exits 0
// after measuring, 1 when the measurement failed, 77 when there is no Apache
// to measure.
//
// With --request, only DES or only bcrypt at the cost new passwords use is
// set up, and the seconds of N requests at the median time per request are
// written into the file PHBENCH_REPORT names (for a row of scripts/bench:
// bcrypt against DES; one request is shorter than the row's clock tick).

#include "common/ApacheHarness.h"
#include "model/PHPasswordHash.h"

#include <crypt.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Variant {
    std::string label;  // "bcrypt cost 5"
    std::string folder; // below the document root
    std::string prefix; // crypt_gensalt prefix
    unsigned long cost; // 0: libcrypt's default
    bool isDes = false;
    int bcryptCost = 0; // 0 for the other schemes
    std::vector<double> samples;
};

std::string makeHash(const std::string &password, const Variant &variant) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(variant.prefix.c_str(), variant.cost, nullptr, 0, setting, sizeof setting))
        throw std::runtime_error("no salt for " + variant.label);
    crypt_data data{};
    const char *hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
    if (!hash || hash[0] == '*')
        throw std::runtime_error("no hash for " + variant.label);
    return hash;
}

void writeFile(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    ::chmod(path.c_str(), 0644);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Ends a --request run once its figure is written.
struct Reported {};

int usage() {
    std::cerr << "usage: password_cost [--rounds N] [--max-cost C] [--ratio R]\n"
                 "       password_cost --request des|bcrypt [--rounds N]\n";
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    int rounds = 25;
    int maxCost = 12;
    double allowedRatio = 3.0;
    std::string request;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage();
        if (option == "--rounds")
            rounds = std::max(3, std::atoi(argv[++i]));
        else if (option == "--max-cost")
            maxCost = std::clamp(std::atoi(argv[++i]), 4, 16);
        else if (option == "--ratio")
            allowedRatio = std::atof(argv[++i]);
        else if (option == "--request" &&
                 (std::string(argv[i + 1]) == "des" || std::string(argv[i + 1]) == "bcrypt"))
            request = argv[++i];
        else
            return usage();
    }
    const std::string reason = apache_harness::unavailableReason();
    if (!reason.empty()) {
        std::cerr << "password_cost: no private Apache: " << reason << '\n';
        return 77; // skipped: nothing to measure here
    }

    std::vector<Variant> variants;
    variants.push_back({"DES crypt", "des", "", 0, true, 0, {}});
    variants.push_back({"SHA-512 crypt (5000 rounds)", "sha512", "$6$", 0, false, 0, {}});
    const int firstCost = request == "bcrypt" ? PHPasswordHash::bcryptCost : 4;
    if (request == "bcrypt") {
        variants.clear();
        maxCost = firstCost;
    } else if (request == "des") {
        maxCost = 0;
    }
    if (request == "des")
        variants.resize(1);
    for (int cost = firstCost; cost <= maxCost; ++cost)
        variants.push_back({"bcrypt cost " + std::to_string(cost),
                            "bcrypt" + std::to_string(cost),
                            "$2y$",
                            static_cast<unsigned long>(cost),
                            false,
                            cost,
                            {}});

    const fs::path root = apache_harness::makeReadableTempFolder("porthold-bench");
    int status = 0;
    try {
        const std::string password = "wonderful1";
        std::string users;
        for (const Variant &variant : variants)
            users += variant.folder + ":" + makeHash(password, variant) + "\n";
        writeFile(root / ".htusers", users);
        for (const Variant &variant : variants) {
            const fs::path folder = root / variant.folder;
            fs::create_directories(folder);
            ::chmod(folder.c_str(), 0755);
            writeFile(folder / "index.html", "<p>" + variant.folder + "</p>\n");
            writeFile(folder / ".htaccess", "AuthType Basic\nAuthName \"Bench\"\nAuthUserFile \"" +
                                                (root / ".htusers").string() + "\"\nRequire user " +
                                                variant.folder + "\n");
        }
        apache_harness::ApacheServer server(root);

        // Every variant once per round, so a busy moment on the machine costs
        // them all alike; the first round warms the server up and is not kept.
        for (int round = 0; round <= rounds; ++round) {
            for (Variant &variant : variants) {
                const std::string path = "/" + variant.folder + "/index.html";
                const auto start = Clock::now();
                const int code = server.get(path, {variant.folder, password});
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                if (code != 200)
                    throw std::runtime_error(variant.label + " answered " + std::to_string(code) + "\n" +
                                             server.errorLogText());
                if (round > 0)
                    variant.samples.push_back(ms);
            }
        }

        if (!request.empty()) {
            const char *report = std::getenv("PHBENCH_REPORT");
            std::FILE *out = report ? std::fopen(report, "w") : nullptr;
            if (out) {
                std::fprintf(out, "%.9f\n", median(variants.front().samples) * rounds / 1000);
                std::fclose(out);
            }
            throw Reported{};
        }
        const double des = median(variants.front().samples);
        std::printf("Apache per-request time with Basic authentication, median of %d requests\n\n", rounds);
        std::printf("%-30s %12s %10s\n", "scheme", "ms/request", "x DES");
        int chosen = 0;
        double chosenRatio = 0;
        double defaultRatio = 0;
        for (const Variant &variant : variants) {
            const double ms = median(variant.samples);
            const double ratio = des > 0 ? ms / des : 0;
            std::printf("%-30s %12.2f %10.2f\n", variant.label.c_str(), ms, ratio);
            if (variant.bcryptCost > 0 && ratio <= allowedRatio && variant.bcryptCost > chosen) {
                chosen = variant.bcryptCost;
                chosenRatio = ratio;
            }
            if (variant.bcryptCost == PHPasswordHash::bcryptCost)
                defaultRatio = ratio;
        }
        std::printf("\n");
        if (chosen > 0)
            std::printf("highest bcrypt cost within %.1fx the DES request: %d (%.2fx)\n", allowedRatio,
                        chosen, chosenRatio);
        else
            std::printf("no bcrypt cost stays within %.1fx the DES request\n", allowedRatio);
        std::printf("bcrypt cost of new passwords now: %d (%.2fx DES)\n", PHPasswordHash::bcryptCost,
                    defaultRatio);
    } catch (const Reported &) {
        // Written for the row; nothing to print.
    } catch (const std::exception &error) {
        std::cerr << "password_cost: " << error.what() << '\n';
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return status;
}
