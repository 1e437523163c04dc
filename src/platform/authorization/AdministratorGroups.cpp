#include "platform/authorization/AdministratorGroups.h"

#include "platform/authorization/AuthorizationRecordStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

std::vector<std::string> defaultAdministratorGroups() {
    struct stat st {};
    if (::stat("/etc/debian_version", &st) == 0)
        return {"sudo"};
    return {"wheel"};
}

std::vector<std::string> administratorGroups(const std::string &path, std::string *problem) {
    auto refuse = [&](const std::string &why) {
        if (problem)
            *problem = path + ": " + why;
        return std::vector<std::string>{};
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return defaultAdministratorGroups();
        return refuse(std::strerror(errno));
    }
    struct stat st {};
    std::string text;
    bool trusted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
                   !(st.st_mode & S_IWOTH) && !((st.st_mode & S_IWGRP) && st.st_gid != 0) &&
                   st.st_size <= 64 * 1024;
    if (trusted) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        trusted = n == 0;
    }
    ::close(fd);
    if (!trusted)
        return refuse("must be a regular file that only root may change");

    std::vector<std::string> groups;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string name;
        while (words >> name) {
            if (!isValidAccountName(name))
                return refuse("\"" + name + "\" is not a group name");
            groups.push_back(name);
        }
    }
    return groups;
}

bool isAdministrator(const std::string &name, const std::vector<std::string> &groups) {
    const passwd *account = ::getpwnam(name.c_str());
    if (!account)
        return false;
    if (account->pw_uid == 0)
        return true;
    const gid_t primary = account->pw_gid;
    std::vector<gid_t> memberOf(64);
    int count = static_cast<int>(memberOf.size());
    while (::getgrouplist(name.c_str(), primary, memberOf.data(), &count) < 0) {
        if (count <= static_cast<int>(memberOf.size()) || count > 65536)
            return false;
        memberOf.resize(static_cast<std::size_t>(count));
    }
    for (const std::string &administrators : groups) {
        const group *entry = ::getgrnam(administrators.c_str());
        if (!entry)
            continue;
        for (int i = 0; i < count; ++i)
            if (memberOf[static_cast<std::size_t>(i)] == entry->gr_gid)
                return true;
    }
    return false;
}
