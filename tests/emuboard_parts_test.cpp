// SPDX-License-Identifier: MIT
// Parts of the emulated board on their own: its initramfs writer, read back by GNU cpio
// (every name, in order, and every file's bytes, for data of every length modulo the
// format's 4-byte padding), and the rule for its cache directory, which the kernel fetch
// follows too; and the relay of the command's output, each byte once as the file grows.

#include "cpio.h"
#include "machine.h"
#include "process.h"
#include "relay.h"
#include "session.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

const char *const fetch_script = FETCH_SCRIPT;

TEST(Cpio, ItsArchiveReadsBackWhole) {
    struct Entry {
        std::string name;
        unsigned mode;
        std::string data;
    };
    const std::vector<Entry> entries{
        {"bin", S_IFDIR | 0755, ""},
        {"dev", S_IFDIR | 0755, ""},
        {"init", S_IFREG | 0755, "#!/bin/sh\necho hi\n"},
        {"a", S_IFREG | 0644, ""},
        {"bb", S_IFREG | 0644, "1"},
        {"ccc", S_IFREG | 0644, "12"},
        {"bin/dddd", S_IFREG | 0644, "123"},
        {"bin/eeeee", S_IFREG | 0644, "1234"},
        {"f", S_IFREG | 0644, std::string("\0\xff\n\0 5", 6)},
        {"dev/console", S_IFCHR | 0600, ""},
    };
    emuboard::Cpio cpio;
    for (const auto &e : entries)
        cpio.add(e.name, e.mode, e.data, S_ISCHR(e.mode) ? 5 : 0, S_ISCHR(e.mode) ? 1 : 0);
    const std::string bytes = cpio.finish();
    EXPECT_EQ(bytes.size() % 4, 0U);

    const char *tmp = std::getenv("TMPDIR");
    std::string archive = std::string(tmp && *tmp ? tmp : "/tmp") + "/cpio_test.XXXXXX";
    int fd = mkstemp(archive.data());
    ASSERT_NE(fd, -1);
    close(fd);
    struct Remove {
        std::string path;
        ~Remove() { unlink(path.c_str()); }
    } remove{archive};
    ASSERT_TRUE((std::ofstream(archive, std::ios::binary) << bytes).flush());

    auto cpio_in = [&archive](std::vector<std::string> args) {
        std::vector<std::string> argv{"cpio", "-i", "--quiet", "-F", archive};
        argv.insert(argv.end(), args.begin(), args.end());
        common::Process run(argv, {common::environment()});
        EXPECT_EQ(run.wait(), 0) << run.errors();
        EXPECT_EQ(run.errors(), "");
        return run.output();
    };
    std::string names;
    for (const auto &e : entries)
        names += e.name + "\n";
    EXPECT_EQ(cpio_in({"-t"}), names);
    for (const auto &e : entries) {
        if (S_ISREG(e.mode)) {
            EXPECT_EQ(cpio_in({"--to-stdout", e.name}), e.data) << e.name;
        }
    }
    const std::string listed = cpio_in({"-tv", "dev/console"});
    EXPECT_EQ(listed.rfind("crw-------", 0), 0U) << listed;
    EXPECT_NE(listed.find("5,"), std::string::npos) << listed;
}

// Each variable in turn decides, when it is set, not empty and (XDG_CACHE_HOME) absolute.
TEST(CacheDir, FollowsTheOneRule) {
    passwd entry{};
    passwd *user = nullptr;
    std::vector<char> strings(16384);
    ASSERT_EQ(getpwuid_r(getuid(), &entry, strings.data(), strings.size(), &user), 0);
    ASSERT_TRUE(user);
    const std::string from_passwd = std::string(user->pw_dir) + "/.cache/battery-voltage/emuboard";
    struct Case {
        const char *emuboard_cache, *xdg_cache_home, *home; // nullptr: unset
        std::string expected;
    };
    const std::vector<Case> cases{
        {"/c", "/x", "/h", "/c"},
        {"", "/x", "/h", "/x/battery-voltage/emuboard"},
        {nullptr, "/x", "/h", "/x/battery-voltage/emuboard"},
        {nullptr, "x", "/h", "/h/.cache/battery-voltage/emuboard"},
        {nullptr, "", "/h", "/h/.cache/battery-voltage/emuboard"},
        {nullptr, nullptr, "/h", "/h/.cache/battery-voltage/emuboard"},
        {nullptr, nullptr, "", from_passwd},
        {nullptr, nullptr, nullptr, from_passwd},
    };
    const std::vector<std::string> names{"EMUBOARD_CACHE", "XDG_CACHE_HOME", "HOME"};
    std::vector<std::optional<std::string>> saved;
    for (const auto &name : names) {
        const char *value = std::getenv(name.c_str());
        saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        const char *values[] = {c.emuboard_cache, c.xdg_cache_home, c.home};
        for (std::size_t i = 0; i < names.size(); ++i)
            (void)(values[i] ? setenv(names[i].c_str(), values[i], 1) : unsetenv(names[i].c_str()));
        EXPECT_EQ(emuboard::cache_dir(), c.expected);
        // The kernel fetch, in shell, keeps its cache by the same rule.
        common::Process fetch({"sh", fetch_script, "--where"},
                              common::Spawn{common::environment()});
        EXPECT_EQ(fetch.wait(), 0) << fetch.errors();
        EXPECT_EQ(fetch.output(), c.expected + "\n");
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::optional<std::string> &value = saved[i];
        if (value)
            (void)setenv(names[i].c_str(), value->c_str(), 1);
        else
            (void)unsetenv(names[i].c_str());
    }
}

// The relay passes on what a port's file gains, as it gains it, each byte once; a
// descriptor that takes nothing is an error, not a loss.
TEST(Relay, PassesOnWhatTheFileGainsEachByteOnce) {
    // The folder and the descriptors go however the case ends, an assertion's return included.
    const common::TempDir dir("relay");
    const std::string path = dir.path() + "/out";
    struct Descriptors {
        int file = -1, ends[2] = {-1, -1}, full = -1;
        Descriptors() = default;
        ~Descriptors() {
            for (int fd : {file, ends[0], ends[1], full})
                if (fd != -1)
                    close(fd);
        }
        Descriptors(const Descriptors &) = delete;
        Descriptors &operator=(const Descriptors &) = delete;
    } fds;
    fds.file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_NE(fds.file, -1);
    ASSERT_EQ(pipe2(fds.ends, O_CLOEXEC | O_NONBLOCK), 0);
    emuboard::Tail tail(path, fds.ends[1]);
    std::string sent;
    std::string got;
    for (const std::string part : {"Battery ", "", "voltage is: 7\n", "Battery"}) {
        ASSERT_TRUE(common::write_all(fds.file, part));
        sent += part;
        tail.pass_on();
        char buf[64];
        for (ssize_t n = 0; (n = read(fds.ends[0], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<std::size_t>(n));
        EXPECT_EQ(got, sent);
    }
    fds.full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    emuboard::Tail to_full(path, fds.full);
    EXPECT_THROW(to_full.pass_on(), emuboard::Error);
}

// One pass passes on all that the file gained, however much: the relay's last pass, once
// the machine is off, leaves nothing of a large output behind.
TEST(Relay, PassesOnAllThatTheFileGainedInOnePass) {
    const common::TempDir dir("relay");
    std::string sent(5000000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('a' + (i % 26));
    ASSERT_TRUE((std::ofstream(dir.path() + "/out", std::ios::binary) << sent).flush());
    struct Descriptor {
        int fd;
        ~Descriptor() { close(fd); }
        Descriptor(const Descriptor &) = delete;
        Descriptor &operator=(const Descriptor &) = delete;
    } copy{open((dir.path() + "/copy").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    ASSERT_NE(copy.fd, -1);
    emuboard::Tail tail(dir.path() + "/out", copy.fd);
    tail.pass_on();
    std::ifstream got(dir.path() + "/copy", std::ios::binary);
    const std::string passed((std::istreambuf_iterator<char>(got)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(passed.size(), sent.size());
    EXPECT_TRUE(passed == sent);
}

} // namespace
