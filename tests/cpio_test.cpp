// SPDX-License-Identifier: MIT
// The emulated board's initramfs writer, read back by GNU cpio: every name, in order, and
// every file's bytes, for data of every length modulo the format's 4-byte padding.

#include "cpio.h"
#include "process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

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

} // namespace
