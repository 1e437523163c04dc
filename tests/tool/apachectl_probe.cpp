// Stands in for the server control script in the tool's tests: writes what it
// received (arguments, environment, open descriptors, user, file mode mask and
// the limits on open files and file size) beside itself to
// "<its path>.out" and exits with 42, so a test can see the status pass through.

#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv) {
    std::string descriptors;
    if (DIR *folder = opendir("/proc/self/fd")) {
        const int own = dirfd(folder);
        while (const dirent *entry = readdir(folder)) {
            if (entry->d_name[0] == '.' || std::to_string(own) == entry->d_name)
                continue;
            descriptors += std::string(entry->d_name) + " ";
        }
        closedir(folder);
    }
    const std::string report = std::string(argv[0]) + ".out";
    FILE *out = std::fopen(report.c_str(), "w");
    if (!out)
        return 99;
    std::fprintf(out, "uid %d euid %d\n", static_cast<int>(getuid()), static_cast<int>(geteuid()));
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "arg %s\n", argv[i]);
    for (char **variable = environ; *variable; ++variable)
        std::fprintf(out, "env %s\n", *variable);
    std::fprintf(out, "fds %s\n", descriptors.c_str());
    const mode_t mask = umask(0);
    std::fprintf(out, "umask %04o\n", static_cast<unsigned>(mask));
    rlimit files{}, size{};
    getrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_FSIZE, &size);
    std::fprintf(out, "nofile %llu %llu\n", static_cast<unsigned long long>(files.rlim_cur),
                 static_cast<unsigned long long>(files.rlim_max));
    std::fprintf(out, "fsize %llu\n", static_cast<unsigned long long>(size.rlim_cur));
    std::fclose(out);
    return 42;
}
