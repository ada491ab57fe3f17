// SPDX-License-Identifier: MIT
#include "machine.h"

#include "cpio.h"
#include "init_script.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

namespace emuboard {

namespace {

// The guest's RAM starts at 0x40000000 on qemu's `virt` machine.
constexpr std::uint64_t ram_base = 0x40000000;
constexpr std::uint64_t ram_size = 3ULL << 30;

std::string read_file(const std::string &path) {
    int fd = -1;
    while ((fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) == -1 && errno == EINTR) {
    }
    if (fd == -1)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0) {
            int saved = errno;
            close(fd);
            if (n == -1)
                throw Error("cannot read " + path + ": " + std::strerror(saved));
            return bytes;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
}

std::string quoted(const std::string &word) {
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The last `n` lines of `text`; all of it, if it has no more (none, if it is empty).
std::string last_lines(const std::string &text, std::size_t n) {
    std::size_t at = text.size();
    for (std::size_t i = 0; i <= n; ++i) {
        if (at == 0)
            return text;
        at = text.rfind('\n', at - 1);
        if (at == std::string::npos)
            return text;
    }
    return text.substr(at + 1);
}

// What a file of the board's holds, for a failure to show: nothing if it cannot be read.
std::string shown(const std::string &path) {
    try {
        return read_file(path);
    } catch (const Error &) {
        return "";
    }
}

// /job, which /init reads: who runs the command, where its streams go, whether the FPGA is
// configured as it starts, and its words, each quoted for the guest's shell.
std::string job_file(const Options &options) {
    const char *output = "port";
    if (options.output_closed)
        output = "closed";
    else if (options.output_full)
        output = "full";
    std::string job =
        std::string("user=") + (options.unprivileged ? "nobody" : "root") + "\noutput=" + output +
        "\nerrors=" + (options.errors_closed ? "closed" : "port") +
        "\nconfigured=" + (options.configured_as_it_starts ? "now" : "before") + "\nset --";
    if (options.command.empty())
        job += " battery-voltage";
    for (const auto &word : options.command)
        job += " " + quoted(word);
    return job + "\n";
}

// The FPGA's sysfs tree, which /init puts in /sys/class.
void add_sysfs(Cpio &cpio, common::Sysfs state) {
    const common::SysfsTree sysfs = common::fpga_sysfs(state);
    if (!sysfs.folders.empty())
        cpio.add("sysfs", S_IFDIR | 0755);
    for (const auto &folder : sysfs.folders)
        cpio.add("sysfs/" + folder, S_IFDIR | 0755);
    for (const auto &[path, content] : sysfs.files)
        cpio.add("sysfs/" + path, S_IFREG | 0444, content);
}

// The guest's files: BusyBox and the kernel's modules from the cache, the board's builds
// of the tool and the launcher from guest/, /init, /job and the FPGA's sysfs tree; and the
// empty files that the console ports fill.
void write_initramfs(const std::string &dir, const Options &options, const std::string &cache) {
    const std::string in_cache = cache + "/";
    // The kernel's modules that the guest loads, in order: none where it has them built in.
    std::vector<std::string> modules;
    std::ifstream list(in_cache + "modules");
    for (std::string m; std::getline(list, m);)
        if (!m.empty())
            modules.push_back(m);
    std::vector<std::string> files{"vmlinuz", "busybox", "modules"};
    files.insert(files.end(), modules.begin(), modules.end());
    for (const auto &f : files)
        if (access((in_cache + f).c_str(), R_OK) != 0)
            throw Error("the board's kernel and BusyBox are not in " + cache +
                        ". Fetch them once with:\n  make emuboard-kernel   (or "
                        "tools/emuboard/fetch.sh)");
    std::vector<std::pair<std::string, std::string>> tools;
    for (const char *f : {"battery-voltage", "battery-adc-status", "board-stamp"}) {
        std::string path = guest_dir() + "/" + f;
        if (access(path.c_str(), R_OK) != 0)
            throw Error("no board build of " + std::string(f) + " at " + path +
                        ": build it with make board, then make host");
        tools.emplace_back(std::string("bin/") + f, read_file(path));
    }

    Cpio cpio;
    for (const char *d : {"bin", "dev", "etc", "lib", "proc", "sys", "tmp"})
        cpio.add(d, S_IFDIR | 0755);
    cpio.add("dev/console", S_IFCHR | 0600, {}, 5, 1);
    cpio.add("init", S_IFREG | 0755, init_script);
    cpio.add("job", S_IFREG | 0644, job_file(options));
    cpio.add("etc/passwd", S_IFREG | 0644,
             "root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n");
    cpio.add("etc/group", S_IFREG | 0644, "root:x:0:\nnogroup:x:65534:\n");
    cpio.add("bin/busybox", S_IFREG | 0755, read_file(in_cache + "busybox"));
    cpio.add("etc/modules", S_IFREG | 0644, read_file(in_cache + "modules"));
    for (const auto &m : modules)
        cpio.add("lib/" + m, S_IFREG | 0644, read_file(in_cache + m));
    for (const auto &[name, bytes] : tools)
        cpio.add(name, S_IFREG | 0755, bytes);
    add_sysfs(cpio, options.sysfs);
    for (const auto &[name, bytes] :
         {std::pair{"initramfs.cpio", cpio.finish()}, {"out", ""}, {"err", ""}, {"report", ""}})
        if (!(std::ofstream(dir + "/" + name, std::ios::binary) << bytes).flush())
            throw Error("cannot write " + dir + "/" + name);
}

} // namespace

std::string guest_dir() {
    return common::next_to_self("guest");
}

std::string kernel_package() {
    try {
        std::string name = read_file(cache_dir() + "/kernel-package");
        return name.substr(0, name.find('\n'));
    } catch (const Error &e) {
        return std::string("an unknown kernel package (") + e.what() + ")";
    }
}

std::string cache_dir() {
    const std::string below = "/battery-voltage/emuboard";
    if (const char *dir = std::getenv("EMUBOARD_CACHE"); dir && *dir)
        return dir;
    if (const char *dir = std::getenv("XDG_CACHE_HOME"); dir && *dir == '/')
        return dir + below;
    if (const char *home = std::getenv("HOME"); home && *home)
        return home + ("/.cache" + below);
    passwd entry{};
    passwd *user = nullptr;
    std::vector<char> strings(16384);
    if (getpwuid_r(getuid(), &entry, strings.data(), strings.size(), &user) != 0 || !user ||
        !user->pw_dir || !*user->pw_dir)
        throw Error("no cache directory: set EMUBOARD_CACHE, XDG_CACHE_HOME or HOME");
    return user->pw_dir + ("/.cache" + below);
}

Machine::Machine(const Options &options) {
    if (common::lookup("qemu-system-arm") != 0)
        throw Error("qemu-system-arm is not installed. As root, run:\n"
                    "  apt-get install qemu-system-arm");
    // The memory first: its making sweeps what killed boards left of theirs.
    if (options.memory == Memory::window)
        board_.emplace(ram_size, ram_base);
    const std::string cache = cache_dir();
    const std::string &dir = files_.dir.path();
    write_initramfs(dir, options, cache);
    const std::vector<std::string> argv =
        qemu_command(options.memory, cache, dir, board_ ? board_->image() : "");
    int log = open((dir + "/qemu.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (log == -1)
        throw Error("cannot write " + dir + "/qemu.log: " + std::strerror(errno));
    common::Spawn how{common::environment()};
    how.out = log;
    how.err = log;
    how.die_with_parent = true; // a board killed with SIGKILL takes its machine with it
    try {
        qemu_ = std::make_unique<common::Process>(argv, how);
    } catch (...) {
        close(log);
        throw;
    }
    close(log);
}

// qemu-system-arm's command line: the machine, its memory as `memory` says (the window
// held here for the register, in `image`), and three console ports for the command's
// output, errors and report.
std::vector<std::string> qemu_command(Memory memory, const std::string &cache,
                                      const std::string &dir, const std::string &image) {
    std::vector<std::string> argv{"qemu-system-arm",
                                  "-cpu",
                                  "cortex-a15",
                                  "-smp",
                                  "1",
                                  "-display",
                                  "none",
                                  "-monitor",
                                  "none",
                                  "-nic",
                                  "none",
                                  "-no-reboot",
                                  "-serial",
                                  "file:" + dir + "/console.log",
                                  "-kernel",
                                  cache + "/vmlinuz",
                                  "-initrd",
                                  dir + "/initramfs.cpio"};
    std::string append = "console=ttyAMA0 rdinit=/init panic=-1 quiet";
    switch (memory) {
    case Memory::window:
        append += " mem=512M";
        argv.insert(argv.end(), {"-M", "virt,highmem=off,memory-backend=ram", "-m", "3G", "-object",
                                 "memory-backend-file,id=ram,size=3G,share=on,mem-path=" + image});
        break;
    case Memory::ram:
        argv.insert(argv.end(), {"-M", "virt,highmem=off", "-m", "3G"});
        break;
    case Memory::none:
        argv.insert(argv.end(), {"-M", "virt,highmem=off", "-m", "1G"});
        break;
    }
    argv.insert(argv.end(), {"-append", append, "-device", "virtio-serial-device"});
    // Three ports, found in the guest by name.
    for (const std::string f : {"out", "err", "report"}) {
        std::string chardev = "file,id=";
        chardev.append(f).append(",path=").append(dir).append("/").append(f);
        std::string port = "virtserialport,chardev=";
        port.append(f).append(",name=emuboard.").append(f);
        argv.insert(argv.end(), {"-chardev", chardev, "-device", port});
    }
    return argv;
}

Machine::Files::~Files() {
    if (const char *keep = std::getenv("EMUBOARD_KEEP"); keep && *keep) {
        dir.keep();
        std::cerr << "emuboard: the board's files are kept in " << dir.path() << "\n";
    }
}

std::string Machine::output() const {
    return read_file(files_.dir.path() + "/out");
}

bool Machine::started() const {
    return common::parse_report(read_file(files_.dir.path() + "/report")).ready;
}

std::string Machine::errors() const {
    return read_file(files_.dir.path() + "/err");
}

void Machine::fail(const std::string &what) const {
    const std::string said = shown(files_.dir.path() + "/qemu.log");
    const std::string console = last_lines(shown(files_.dir.path() + "/console.log"), 12);
    throw Error(what + (said.empty() ? "" : "\nqemu-system-arm says:\n" + said) +
                (console.empty() ? "\nThe kernel printed nothing."
                                 : "\nThe last lines of the kernel's console:\n" + console));
}

Run Machine::wait(std::chrono::seconds limit) {
    bool off = qemu_->wait(limit) != -1;
    if (!off)
        fail("the board did not power off within " + std::to_string(limit.count()) +
             " s (see emuboard --timeout)");
    Run run;
    run.report = common::parse_report(read_file(files_.dir.path() + "/report"));
    if (!run.report.ready)
        fail("the board never reached the command: the kernel did not boot as far as its "
             "/init");
    // A command that could not start has a status and no stamp.
    if (!run.report.status)
        fail("the board stopped before the command ended");
    run.status = *run.report.status;
    run.out = output();
    run.err = errors();
    return run;
}

} // namespace emuboard
