// The Ansible collection in contrib/ansible, applied with ansible-playbook to
// this machine (-i localhost, -c local): the example playbook protects a
// folder of a web root that a private Apache serves, and the server answers
// as the playbook says. A second run changes nothing, a --check run after an
// edit changes no file but reports the change, --diff shows it, and the
// passwords appear in no log and no process's command line or environment
// while the playbook runs.

#include "ctl/CtlFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

using apache_harness::ApacheServer;
using apache_harness::Credentials;
using ctl_test::CtlEnvironment;
using ctl_test::readFile;
using ctl_test::writeFile;

// Unlikely to occur anywhere by chance, so any sighting is a leak.
const std::string kAlicePassword = "Qx7-alice-Wonder-38fd";
const std::string kBobPassword = "Zr2-bob-Builder-91ce";

std::string findProgram(const std::string &name) {
    for (const char *folder : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const fs::path candidate = fs::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

struct PlaybookRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    /// Where a password was seen while the run went on ("pid 12 cmdline").
    std::set<std::string> sightings;
};

/// The file of every process (cmdline or environ) that holds one of the secrets.
void scanProcesses(const std::vector<std::string> &secrets, std::set<std::string> &sightings) {
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return;
    const std::string self = std::to_string(::getpid());
    while (dirent *entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        for (const char *what : {"cmdline", "environ"}) {
            const std::string text = readFile(fs::path("/proc") / pid / what);
            for (const std::string &secret : secrets)
                if (text.find(secret) != std::string::npos)
                    sightings.insert("pid " + pid + " " + what + ": " +
                                     readFile(fs::path("/proc") / pid / "comm"));
        }
    }
    ::closedir(proc);
}

/// A playbook run: output to files (no pipe to fill), the process table
/// watched for the secrets until it ends, three minutes at most.
PlaybookRun runPlaybook(const std::vector<std::string> &arguments,
                        const std::vector<std::string> &environment, const fs::path &work,
                        const std::vector<std::string> &secrets) {
    static int count = 0;
    const fs::path outPath = work / ("run" + std::to_string(++count) + ".out");
    const fs::path errPath = work / ("run" + std::to_string(count) + ".err");
    std::vector<std::string> argvStrings = arguments;
    std::vector<char *> argv;
    for (auto &a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = environment;
    std::vector<char *> envp;
    for (auto &e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::chdir(work.c_str());
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    PlaybookRun run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    int status = 0;
    for (;;) {
        scanProcesses(secrets, run.sightings);
        if (::waitpid(pid, &status, WNOHANG) == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

/// "changed=N" of the play recap for localhost ("localhost : ok=3 changed=1 ..."), or -1.
/// Read by hand: g++ 12 warns inside <regex> under the sanitizer flags, and the
/// warning is fatal there.
int changedCount(const std::string &output) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (std::size_t at = output.find("localhost"); at != std::string::npos;
         at = output.find("localhost", at + 1)) {
        std::size_t i = at + std::strlen("localhost");
        const auto skipBlanks = [&] {
            while (i < output.size() && isBlank(output[i]))
                ++i;
        };
        const auto take = [&](const char *word) {
            if (output.compare(i, std::strlen(word), word) != 0)
                return false;
            i += std::strlen(word);
            return true;
        };
        const auto digits = [&] {
            const std::size_t start = i;
            while (i < output.size() && isDigit(output[i]))
                ++i;
            return output.substr(start, i - start);
        };
        skipBlanks();
        if (!take(":"))
            continue;
        skipBlanks();
        if (!take("ok=") || digits().empty())
            continue;
        const std::size_t beforeBlanks = i;
        skipBlanks();
        if (i == beforeBlanks || !take("changed="))
            continue;
        const std::string changed = digits();
        if (!changed.empty())
            return std::stoi(changed);
    }
    return -1;
}

std::string describe(const PlaybookRun &run) {
    return "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out + "--- stderr\n" + run.err;
}

class AnsibleCollection : public ::testing::Test {
protected:
    void SetUp() override {
        m_playbook = findProgram("ansible-playbook");
        if (m_playbook.empty())
            GTEST_SKIP()
                << "ansible-playbook is not installed (Debian's ansible-core; scripts/test installs it "
                   "where the system's package sources have it)";
        const std::string reason = apache_harness::unavailableReason();
        if (!reason.empty())
            GTEST_SKIP() << "no private Apache: " << reason;
        m_env = std::make_unique<CtlEnvironment>();
        const auto probe = m_env->run({"--json", "tree"});
        if (probe.exitCode != 0 || probe.out.find("\"folders\"") == std::string::npos)
            GTEST_SKIP() << "this portholdctl answers no JSON, which the modules need: "
                         << ctl_test::describe(probe);
        m_env->makeFolder("open");
        m_env->makeFolder("private");
        m_env->makeFolder("office");
        m_server = std::make_unique<ApacheServer>(m_env->root());

        m_work = apache_harness::makeReadableTempFolder("porthold-ansible");
        // The collection from the source tree, where Ansible looks for it.
        fs::create_directories(m_work / "collections" / "ansible_collections" / "quillmere");
        fs::create_directory_symlink(fs::path(PORTHOLD_SOURCE_DIR) / "contrib" / "ansible",
                                     m_work / "collections" / "ansible_collections" / "quillmere" /
                                         "porthold");
        // The secrets reach ansible-playbook in a file, as from a vault: on
        // its command line they would be in the process list.
        writeFile(m_work / "secrets.yml", "alice_password: " + kAlicePassword + "\nbob_password: " +
                                              kBobPassword + "\nweb_root: " + m_env->root().string() + "\n");
        ::chmod((m_work / "secrets.yml").c_str(), 0600);
        writePlaybook("site.yml", "deny", "[127.0.0.1]");
    }

    void TearDown() override {
        if (HasFailure() && m_server)
            std::cerr << "--- apache error log\n" << m_server->errorLogText();
        m_server.reset();
        m_env.reset();
        std::error_code ignored;
        if (!m_work.empty())
            fs::remove_all(m_work, ignored);
    }

    /// The example playbook, then a play of the test's own: a second user
    /// outside the group, and an address rule for the office folder.
    void writePlaybook(const std::string &name, const std::string &addressMode,
                       const std::string &addresses) {
        writeFile(m_work / name,
                  "- import_playbook: " +
                      (fs::path(PORTHOLD_SOURCE_DIR) / "contrib/ansible/examples/protect.yml").string() +
                      "\n"
                      "- name: More of the site\n"
                      "  hosts: all\n"
                      "  gather_facts: false\n"
                      "  tasks:\n"
                      "    - name: Bob is a web user outside staff\n"
                      "      quillmere.porthold.porthold_user:\n"
                      "        web_root: \"{{ web_root }}\"\n"
                      "        name: bob\n"
                      "        password: \"{{ bob_password }}\"\n"
                      "    - name: The office folder by address\n"
                      "      quillmere.porthold.porthold_folder:\n"
                      "        web_root: \"{{ web_root }}\"\n"
                      "        path: office\n"
                      "        mode: address\n"
                      "        address_mode: " +
                      addressMode +
                      "\n"
                      "        addresses: " +
                      addresses +
                      "\n"
                      "        exact: true\n");
    }

    PlaybookRun play(const std::string &playbook, const std::vector<std::string> &options = {}) {
        std::vector<std::string> arguments{
            m_playbook,     "-i",    "localhost,",
            "-c",           "local", "-e",
            "@secrets.yml", "-e",    "ansible_python_interpreter=/usr/bin/python3"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.push_back(playbook);
        const std::string bin = fs::path(PORTHOLDCTL_PATH).parent_path().string();
        const std::vector<std::string> environment{
            "PATH=" + bin + ":/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME=" + m_env->config().string(),
            "XDG_CONFIG_HOME=" + m_env->config().string(),
            "LC_ALL=C.UTF-8",
            "ANSIBLE_COLLECTIONS_PATH=" + (m_work / "collections").string(),
            "ANSIBLE_LOCAL_TEMP=" + (m_work / "tmp").string(),
            "ANSIBLE_REMOTE_TEMP=" + (m_work / "tmp").string(),
            "ANSIBLE_LOG_PATH=" + (m_work / "ansible.log").string(),
            // The module reaches the managed host on standard input, never as a file.
            "ANSIBLE_PIPELINING=True",
            "ANSIBLE_NOCOLOR=1",
            "ANSIBLE_RETRY_FILES_ENABLED=0",
            "ANSIBLE_DEPRECATION_WARNINGS=0",
        };
        return runPlaybook(arguments, environment, m_work, {kAlicePassword, kBobPassword});
    }

    int get(const std::string &url, const Credentials &credentials = {}) {
        return m_server->get(url, credentials);
    }

    std::map<std::string, std::string> files() {
        return ctl_test::snapshot({m_env->root(), m_env->config()});
    }

    std::string m_playbook;
    std::unique_ptr<CtlEnvironment> m_env;
    std::unique_ptr<ApacheServer> m_server;
    fs::path m_work;
};

TEST_F(AnsibleCollection, ThePlaybookProtectsOnceAndThenHolds) {
    // Check mode on a host where nothing is made yet predicts every task's
    // change; the group and folder tasks once failed: the user did not exist.
    const auto empty = files();
    const PlaybookRun predicted = play("site.yml", {"--check"});
    ASSERT_EQ(predicted.exitCode, 0) << describe(predicted);
    EXPECT_EQ(changedCount(predicted.out), 5) << predicted.out;
    EXPECT_NE((predicted.out + predicted.err).find("No user \"alice\" yet"), std::string::npos)
        << describe(predicted);
    EXPECT_EQ(files(), empty) << "--check writes nothing";

    // The first run makes everything, verbosely, so that every argument a
    // module gets would be logged if it were not kept out.
    const PlaybookRun first = play("site.yml", {"-vvv"});
    ASSERT_EQ(first.exitCode, 0) << describe(first);
    EXPECT_EQ(changedCount(first.out), 5) << "user, group, folder, user, folder\n" << first.out;
    EXPECT_TRUE(first.sightings.empty()) << "a password in the process table: " << *first.sightings.begin();

    EXPECT_EQ(get("/open/index.html"), 200) << "a folder the playbook leaves alone is served";
    EXPECT_EQ(get("/private/index.html"), 401) << "no password";
    EXPECT_EQ(get("/private/index.html", {"alice", kAlicePassword}), 200) << "alice is in staff";
    EXPECT_EQ(get("/private/index.html", {"alice", "not-her-password"}), 401);
    EXPECT_EQ(get("/private/index.html", {"bob", kBobPassword}), 401) << "bob is no member of staff";
    EXPECT_EQ(get("/office/index.html"), 403) << "this computer is denied";

    // The second run finds everything as wanted: nothing changes on disk.
    const auto before = files();
    const PlaybookRun second = play("site.yml");
    ASSERT_EQ(second.exitCode, 0) << describe(second);
    EXPECT_EQ(changedCount(second.out), 0) << second.out;
    EXPECT_EQ(files(), before) << "a run that changes nothing rewrites nothing";

    // Edited: the office lets in only a network this computer is not in.
    writePlaybook("edited.yml", "allow", "[10.0.0.0/8]");
    const PlaybookRun check = play("edited.yml", {"--check"});
    ASSERT_EQ(check.exitCode, 0) << describe(check);
    EXPECT_EQ(changedCount(check.out), 1) << check.out;
    EXPECT_EQ(files(), before) << "--check writes nothing";
    EXPECT_EQ(get("/office/index.html"), 403);

    const PlaybookRun diff = play("edited.yml", {"--check", "--diff"});
    ASSERT_EQ(diff.exitCode, 0) << describe(diff);
    EXPECT_NE(diff.out.find("-Deny from 127.0.0.1"), std::string::npos) << diff.out;
    EXPECT_NE(diff.out.find("+Allow from 10.0.0.0/8"), std::string::npos) << diff.out;
    EXPECT_EQ(files(), before) << "--check --diff writes nothing";

    // Applied for real, the server follows.
    const PlaybookRun edited = play("edited.yml");
    ASSERT_EQ(edited.exitCode, 0) << describe(edited);
    EXPECT_EQ(changedCount(edited.out), 1) << edited.out;
    EXPECT_EQ(get("/office/index.html"), 403) << "only 10.0.0.0/8 gets in";
    EXPECT_EQ(get("/private/index.html", {"alice", kAlicePassword}), 200);

    // Nothing written along the way holds a password: the playbooks'
    // output, Ansible's log, the server's log, the web root and the settings.
    std::vector<std::pair<std::string, std::string>> texts{
        {"first run", first.out + first.err},          {"second run", second.out + second.err},
        {"check run", check.out + check.err},          {"diff run", diff.out + diff.err},
        {"edited run", edited.out + edited.err},       {"ansible.log", readFile(m_work / "ansible.log")},
        {"apache error log", m_server->errorLogText()}};
    for (const auto &[path, text] : files())
        texts.emplace_back(path, text);
    for (const auto &[where, text] : texts)
        for (const std::string &secret : {kAlicePassword, kBobPassword})
            EXPECT_EQ(text.find(secret), std::string::npos) << "a password in " << where;
    EXPECT_FALSE(readFile(m_work / "ansible.log").empty()) << "Ansible's log was written";
    for (const PlaybookRun *run : {&second, &check, &diff, &edited})
        EXPECT_TRUE(run->sightings.empty()) << "a password in the process table: " << *run->sightings.begin();
}

TEST_F(AnsibleCollection, AModuleReportsPortholdctlsRefusal) {
    // A folder that does not exist: the task fails with portholdctl's words.
    writeFile(m_work / "missing.yml", "- hosts: all\n"
                                      "  gather_facts: false\n"
                                      "  tasks:\n"
                                      "    - quillmere.porthold.porthold_folder:\n"
                                      "        web_root: \"{{ web_root }}\"\n"
                                      "        path: nowhere\n"
                                      "        mode: password\n");
    const PlaybookRun run = play("missing.yml");
    EXPECT_EQ(run.exitCode, 2) << describe(run);
    EXPECT_NE(run.out.find("No folder \\\"nowhere\\\" below the web root"), std::string::npos) << run.out;

    // Absent from a folder that is not there holds already.
    writeFile(m_work / "absent.yml", "- hosts: all\n"
                                     "  gather_facts: false\n"
                                     "  tasks:\n"
                                     "    - quillmere.porthold.porthold_folder:\n"
                                     "        web_root: \"{{ web_root }}\"\n"
                                     "        path: nowhere\n"
                                     "        state: absent\n");
    const PlaybookRun absent = play("absent.yml");
    EXPECT_EQ(absent.exitCode, 0) << describe(absent);
    EXPECT_EQ(changedCount(absent.out), 0) << absent.out;
}

TEST_F(AnsibleCollection, OptionsNotGivenAreLeftAsTheyAre) {
    // The office lets only 10.0.0.0/8 in. An address mode alone once went
    // out with an empty list, and with exact the folder was open to all.
    ASSERT_EQ(m_env->run({"apply", "office", "--mode", "address", "--allow", "10.0.0.0/8"}).exitCode, 0);
    ASSERT_EQ(get("/office/index.html"), 403);
    writeFile(m_work / "partial.yml", "- hosts: all\n"
                                      "  gather_facts: false\n"
                                      "  tasks:\n"
                                      "    - quillmere.porthold.porthold_folder:\n"
                                      "        web_root: \"{{ web_root }}\"\n"
                                      "        path: office\n"
                                      "        address_mode: deny\n"
                                      "        exact: true\n"
                                      "      register: switched\n"
                                      "    - ansible.builtin.assert:\n"
                                      "        that:\n"
                                      "          - switched is changed\n"
                                      "          - switched.folder.address_mode == 'deny'\n"
                                      "          - switched.folder.addresses == ['10.0.0.0/8']\n"
                                      "    - quillmere.porthold.porthold_folder:\n"
                                      "        web_root: \"{{ web_root }}\"\n"
                                      "        path: office\n"
                                      "        addresses: [127.0.0.1]\n"
                                      "      register: listed\n"
                                      "    - ansible.builtin.assert:\n"
                                      "        that:\n"
                                      "          - listed.folder.address_mode == 'deny'\n"
                                      "          - listed.folder.mode == 'address'\n");
    const PlaybookRun run = play("partial.yml");
    ASSERT_EQ(run.exitCode, 0) << describe(run);
    EXPECT_EQ(changedCount(run.out), 2) << run.out;
    // This computer is now denied by name, 10.0.0.0/8 still listed.
    EXPECT_EQ(get("/office/index.html"), 403);
    const std::string text = readFile(m_env->root() / "office" / ".htaccess");
    EXPECT_NE(text.find("\nDeny from 10.0.0.0/8 127.0.0.1"), std::string::npos) << text;
}

/// "0640 0:33" for a file: its permission bits, owner and group.
std::string attributesOf(const fs::path &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return "missing";
    char text[64];
    std::snprintf(text, sizeof text, "%04o %u:%u", unsigned(info.st_mode & 07777), unsigned(info.st_uid),
                  unsigned(info.st_gid));
    return text;
}

TEST_F(AnsibleCollection, OwnerGroupAndModeAreAppliedAndKept) {
    const struct group *webGroup = ::getgrnam("www-data");
    if (!webGroup || ::geteuid() != 0)
        GTEST_SKIP() << "needs root and the group www-data";
    const std::string gid = std::to_string(webGroup->gr_gid);
    writeFile(m_work / "attributes.yml", "- hosts: all\n"
                                         "  gather_facts: false\n"
                                         "  tasks:\n"
                                         "    - quillmere.porthold.porthold_user:\n"
                                         "        web_root: \"{{ web_root }}\"\n"
                                         "        name: alice\n"
                                         "        password: \"{{ alice_password }}\"\n"
                                         "        owner: root\n"
                                         "        group: www-data\n"
                                         "        file_mode: \"0640\"\n"
                                         "    - quillmere.porthold.porthold_group:\n"
                                         "        web_root: \"{{ web_root }}\"\n"
                                         "        name: staff\n"
                                         "        members: [alice]\n"
                                         "        group: www-data\n"
                                         "        mode: 0640\n"
                                         "    - quillmere.porthold.porthold_folder:\n"
                                         "        web_root: \"{{ web_root }}\"\n"
                                         "        path: private\n"
                                         "        mode: password\n"
                                         "        groups: [staff]\n"
                                         "        group: www-data\n"
                                         "        file_mode: u=rw,g=r,o=\n"
                                         "    - quillmere.porthold.porthold_folder:\n"
                                         "        web_root: \"{{ web_root }}\"\n"
                                         "        path: office\n"
                                         "        mode: password\n"
                                         "        any_valid_user: true\n");
    // Under umask 077 new files were once 0600 root, and the server answered 403.
    const mode_t umask = ::umask(077);
    const PlaybookRun first = play("attributes.yml");
    ::umask(umask);
    ASSERT_EQ(first.exitCode, 0) << describe(first);
    EXPECT_EQ(changedCount(first.out), 4) << first.out;
    const fs::path root = m_env->root();
    EXPECT_EQ(attributesOf(root / ".htusers"), "0640 0:" + gid);
    EXPECT_EQ(attributesOf(root / ".htgroups"), "0640 0:" + gid);
    EXPECT_EQ(attributesOf(root / "private" / ".htaccess"), "0640 0:" + gid);
    EXPECT_EQ(attributesOf(root / "office" / ".htaccess"), "0640 0:" + gid)
        << "a new file without a mode follows the web root's own files, not the umask";
    EXPECT_EQ(get("/private/index.html", {"alice", kAlicePassword}), 200);

    const PlaybookRun second = play("attributes.yml");
    ASSERT_EQ(second.exitCode, 0) << describe(second);
    EXPECT_EQ(changedCount(second.out), 0) << second.out;

    // Drift in the attributes alone is repaired (and predicted by --check).
    ::chmod((root / ".htgroups").c_str(), 0600);
    ::chown((root / "private" / ".htaccess").c_str(), 0, 0);
    const PlaybookRun check = play("attributes.yml", {"--check"});
    ASSERT_EQ(check.exitCode, 0) << describe(check);
    EXPECT_EQ(changedCount(check.out), 2) << check.out;
    EXPECT_EQ(attributesOf(root / ".htgroups"), "0600 0:" + gid) << "--check changes nothing";
    const PlaybookRun repair = play("attributes.yml");
    ASSERT_EQ(repair.exitCode, 0) << describe(repair);
    EXPECT_EQ(changedCount(repair.out), 2) << repair.out;
    EXPECT_EQ(attributesOf(root / ".htgroups"), "0640 0:" + gid);
    EXPECT_EQ(attributesOf(root / "private" / ".htaccess"), "0640 0:" + gid);

    // A mode others could write is refused, and nothing changes.
    writeFile(m_work / "loose.yml", "- hosts: all\n"
                                    "  gather_facts: false\n"
                                    "  tasks:\n"
                                    "    - quillmere.porthold.porthold_group:\n"
                                    "        web_root: \"{{ web_root }}\"\n"
                                    "        name: staff\n"
                                    "        mode: \"0666\"\n");
    const PlaybookRun loose = play("loose.yml");
    EXPECT_EQ(loose.exitCode, 2) << describe(loose);
    EXPECT_NE(loose.out.find("every user of the machine"), std::string::npos) << loose.out;
    EXPECT_EQ(attributesOf(root / ".htgroups"), "0640 0:" + gid);
}

TEST_F(AnsibleCollection, InfoReportsEveryFolderAndChangesNothing) {
    const PlaybookRun site = play("site.yml");
    ASSERT_EQ(site.exitCode, 0) << describe(site);
    const auto before = files();
    const std::string url = "http://127.0.0.1:" + std::to_string(m_server->port()) + "/";
    writeFile(m_work / "info.yml",
              "- hosts: all\n"
              "  gather_facts: false\n"
              "  tasks:\n"
              "    - quillmere.porthold.porthold_info:\n"
              "        web_root: \"{{ web_root }}\"\n"
              "      register: all\n"
              "    - quillmere.porthold.porthold_info:\n"
              "        web_root: \"{{ web_root }}\"\n"
              "        folders: [private, office]\n"
              "        verify: true\n"
              "        verify_url: " +
                  url +
                  "\n"
                  "      register: checked\n"
                  "    - ansible.builtin.assert:\n"
                  "        that:\n"
                  "          - all is not changed\n"
                  "          - all.folders | map(attribute='folder') | sort == ['.', 'office', 'open', "
                  "'private']\n"
                  "          - (all.folders | selectattr('folder', 'eq', 'private') | first).groups == "
                  "['staff']\n"
                  "          - (all.folders | selectattr('folder', 'eq', 'private') | first).mode == "
                  "'password'\n"
                  "          - (all.folders | selectattr('folder', 'eq', 'office') | first).address_mode == "
                  "'deny'\n"
                  "          - all.users | map(attribute='name') | sort == ['alice', 'bob']\n"
                  "          - all.weak_users == []\n"
                  "          - all.groups | map(attribute='name') | list == ['staff']\n"
                  "          - (all.groups | first).members == ['alice']\n"
                  "          - (all.groups | first).unknown_members == []\n"
                  "          - checked.folders | map(attribute='verify') | map(attribute='agrees') | list == "
                  "[true, true]\n");
    for (const std::vector<std::string> &options : {std::vector<std::string>{}, {"--check"}}) {
        const PlaybookRun info = play("info.yml", options);
        ASSERT_EQ(info.exitCode, 0) << describe(info);
        EXPECT_EQ(changedCount(info.out), 0) << info.out;
    }
    EXPECT_EQ(files(), before) << "reporting writes nothing";
}

TEST_F(AnsibleCollection, NamesThatLookLikeOptionsStayNames) {
    // A member "--check" once made the run a dry run reporting a change, and
    // "--root=..." sent the write elsewhere: each is now a name, refused.
    const fs::path elsewhere = m_work / "elsewhere";
    writeFile(m_work / "dashes.yml", "- hosts: all\n"
                                     "  gather_facts: false\n"
                                     "  tasks:\n"
                                     "    - quillmere.porthold.porthold_group:\n"
                                     "        web_root: \"{{ web_root }}\"\n"
                                     "        name: staff\n"
                                     "        members: [\"--check\", \"--root=" +
                                         elsewhere.string() + "\"]\n");
    const PlaybookRun run = play("dashes.yml");
    EXPECT_EQ(run.exitCode, 2) << describe(run);
    EXPECT_NE(run.out.find("cannot begin with \\\"-\\\""), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(elsewhere));
}

} // namespace
