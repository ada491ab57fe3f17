// SPDX-License-Identifier: MIT
// battery-adc-status: says in one verdict, with its own exit status, why battery-voltage
// reads what it reads: whether the battery_adc block at 0xFF241000 answers, converts and
// gives codes that move, and if not, which step fails.
//
// It looks before it touches: a load through a bridge that is off can hang the board, so
// the kernel's FPGA manager and bridge in sysfs come first. Then it maps the block's one
// page of /dev/mem and reads its sixteen words twice, an interval apart. It never writes.
//
// usage: battery-adc-status [--keys] [--interval MS] [--help]

// On 32-bit ARM the default off_t is 32 bits wide and signed: it cannot hold the block's
// physical address 0xFF241000. A 64-bit off_t carries it to mmap exactly.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr std::uint32_t block_address = 0xFF241000;  // word 0, as the device tree places it
constexpr std::uint32_t block_identity = 0x42414401; // word 15: "BAD" and version 1

bool keys_form = false; // --keys: the facts as key=value lines, for scripts

// One fact: `key=value` for scripts, or `line` for people; either may be left out (empty).
void fact(const std::string &key, const std::string &value, const std::string &line) {
    if (keys_form ? key.empty() : line.empty())
        return;
    std::cout << (keys_form ? key + "=" + value : line) << '\n';
}

// Every way out after the options: the verdict as the last line, and its status, unless the
// report could not be written.
int verdict(int status, const std::string &word, const std::string &why) {
    fact("verdict", word, "");
    fact("reason", why, why);
    fact("status", std::to_string(status), "");
    return std::cout.flush() ? status : 1;
}

std::string hex(std::uint32_t word) {
    char text[11];
    (void)std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(word));
    return text;
}

// The first line of attribute `file` of sysfs device `dir`/`device`; empty if it cannot be
// read.
std::string attribute(const std::string &dir, const std::string &device, const char *file) {
    std::ifstream in(dir + "/" + device + "/" + file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The device of sysfs class `dir` whose name is `name` (any, if empty), and its state:
// one whose state is not `good` if there is one, so that no device that is not ready hides
// behind one that is. Empty if the class has none.
struct Device {
    std::string name, state;
};
Device find_device(const std::string &dir, const std::string &name, const std::string &good) {
    Device found;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(dir, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string device = entry->path().filename();
        if (!name.empty() && attribute(dir, device, "name") != name)
            continue;
        if (found.name.empty() || found.state == good)
            found = {device, attribute(dir, device, "state")};
    }
    return found;
}

// Before any load: the FPGA configured and the lightweight HPS-to-FPGA bridge enabled, as
// the kernel's FPGA manager and its bridge driver (altera-hps2fpga) show them. A kernel
// without them says nothing, and the check goes on. -1 to go on, else the verdict.
int check_sysfs() {
    const Device fpga = find_device("/sys/class/fpga_manager", "", "operating");
    const Device bridge = find_device("/sys/class/fpga_bridge", "lwhps2fpga", "enabled");
    fact("fpga_manager", fpga.name, "");
    fact("fpga_state", fpga.state, "");
    fact("bridge", bridge.name, "");
    fact("bridge_state", bridge.state, "");
    if (!fpga.name.empty() && fpga.state != "operating")
        return verdict(3, "unconfigured",
                       "the FPGA is not configured: the FPGA manager " + fpga.name +
                           " is in state '" + fpga.state + "', not 'operating'; no load made");
    if (!bridge.name.empty() && bridge.state != "enabled")
        return verdict(3, "bridge-disabled",
                       "the lightweight HPS-to-FPGA bridge " + bridge.name + " (lwhps2fpga) is '" +
                           bridge.state + "', not 'enabled'; no load made");
    fact("", "",
         fpga.name.empty() ? "FPGA manager: none in sysfs, not checked"
                           : "FPGA manager " + fpga.name + ": " + fpga.state);
    fact("", "",
         bridge.name.empty() ? "lightweight bridge: none named lwhps2fpga in sysfs, not checked"
                             : "lightweight bridge " + bridge.name + ": " + bridge.state);
    return -1;
}

sigjmp_buf bus_error; // where a load that ends in a bus error returns to

// A load that nothing answers ends in SIGBUS; back to the read, which says so.
void on_bus_error(int /*signal*/) {
    siglongjmp(bus_error, 1);
}

// The block's sixteen words, each one 32-bit load from the device, and the index of the
// word whose load ended in a bus error (16 if none did). SIGBUS is caught for the loads
// alone; everywhere else every signal keeps its default action.
int read_words(const volatile std::uint32_t *block, std::uint32_t *words) {
    struct sigaction catching = {};
    catching.sa_handler = on_bus_error;
    sigemptyset(&catching.sa_mask);
    struct sigaction before = {};
    sigaction(SIGBUS, &catching, &before);
    // volatile: its value must survive the jump back from the handler.
    volatile int i = 0;
    if (sigsetjmp(bus_error, 1) == 0)
        for (; i < 16; i = i + 1)
            words[i] = block[i];
    sigaction(SIGBUS, &before, nullptr);
    return i;
}

// Whether the words are a battery_adc block's. -1 if they are, else the verdict.
int identify(int answered, const std::uint32_t *words) {
    if (answered < 16)
        return verdict(5, "no-block",
                       "no battery_adc block at 0xFF241000: the load from " +
                           hex(block_address + (4 * static_cast<std::uint32_t>(answered))) +
                           " ended in a bus error, nothing answered");
    bool all_zero = true;
    for (int i = 0; i < 16; ++i)
        all_zero = all_zero && words[i] == 0;
    if (all_zero)
        return verdict(6, "in-reset", "the block is held in reset: every word reads 0");
    if (words[15] == block_identity)
        return -1;
    for (int i = 0; i < 16; ++i)
        fact("word" + std::to_string(i), std::to_string(words[i]), "");
    for (int row = 0; row < 16; row += 8) {
        std::string line = hex(block_address + (4 * static_cast<std::uint32_t>(row))) + ":";
        for (int i = row; i < row + 8; ++i)
            line += " " + hex(words[i]);
        fact("", "", line);
    }
    return verdict(5, "no-block",
                   "no battery_adc block at 0xFF241000: another design's words, word 15 reads " +
                       hex(words[15]) + ", not " + hex(block_identity));
}

// The block's settings, from its constant words 11 to 15.
// The settings word's wait for the converter's reference, bits 30:20.
std::uint32_t wake_ms(const std::uint32_t *w) {
    return (w[14] >> 20) & 0x7FF;
}

void report_settings(const std::uint32_t *w) {
    const std::uint64_t frame_ns = w[11] ? std::uint64_t{w[13]} * 1000000000 / w[11] : 0;
    fact("id", std::to_string(w[15]),
         "block: battery_adc version " + std::to_string(w[15] & 0xFF) + " (" + hex(w[15]) + ")");
    fact("version", std::to_string(w[15] & 0xFF), "");
    fact("clock_hz", std::to_string(w[11]), "clock: " + std::to_string(w[11]) + " Hz");
    fact("battery_channel", std::to_string(w[12]), "battery channel: " + std::to_string(w[12]));
    fact("frame_clocks", std::to_string(w[13]),
         "frame: " + std::to_string(w[13]) + " clocks, " + std::to_string(frame_ns) + " ns");
    fact("frame_ns", std::to_string(frame_ns), "");
    fact("acquisition_ns", std::to_string(w[14] & 0xFFFFF),
         "acquisition: " + std::to_string(w[14] & 0xFFFFF) + " ns");
    fact("wake_ms", std::to_string(wake_ms(w)),
         "wake-up wait: " + std::to_string(wake_ms(w)) + " ms");
    fact("battery_only", std::to_string(w[14] >> 31),
         std::string("battery-only mode: ") + (w[14] >> 31 ? "on" : "off"));
}

// The count before and after the interval, the rate it gives, and the rate that the settings
// promise: a result a frame.
void report_count(std::uint32_t before, std::uint32_t after, std::int64_t elapsed_ns,
                  const std::uint32_t *w) {
    // Unsigned: the count wraps at 2^32.
    const std::uint64_t rate = std::uint64_t{after - before} * 1000000000 /
                               static_cast<std::uint64_t>(elapsed_ns > 0 ? elapsed_ns : 1);
    const std::uint32_t promised = w[13] ? w[11] / w[13] : 0;
    fact("count_before", std::to_string(before), "");
    fact("count_after", std::to_string(after), "");
    fact("interval_ns", std::to_string(elapsed_ns), "");
    fact("rate", std::to_string(rate),
         "conversions: " + std::to_string(before) + ", then " + std::to_string(after) + " " +
             std::to_string(elapsed_ns / 1000000) + " ms later: " + std::to_string(rate) +
             " a second; the settings promise " + std::to_string(promised));
    fact("promised_rate", std::to_string(promised), "");
}

// Channel `c`'s code: 1 mV a code at the converter's input (unipolar, 0 to 4.095 V).
void report_channel(std::uint32_t c, std::uint32_t code, bool fresh) {
    const std::string name = "channel " + std::to_string(c);
    const std::string shown = std::to_string(code);
    fact("channel" + std::to_string(c) + "_code", shown, "");
    fact("channel" + std::to_string(c) + "_mv", shown,
         fresh ? name + ": " + shown + ", " + shown + " mV at the converter's input"
               : name + ": no code yet");
}

// Which channels have a code since the reset, the battery's, and every channel's.
void report_codes(const std::uint32_t *w) {
    std::string fresh;
    for (std::uint32_t c = 0; c < 8; ++c)
        if ((w[10] >> c) & 1)
            fresh += " " + std::to_string(c);
    fact("fresh", std::to_string(w[10]), "fresh channels:" + (fresh.empty() ? " none" : fresh));
    fact("battery_code", std::to_string(w[0]),
         "battery: " + std::to_string(w[0]) + " (word 0, what battery-voltage prints), " +
             std::to_string(w[0]) + " mV");
    for (std::uint32_t c = 0; c < 8; ++c)
        report_channel(c, w[2 + c], (w[10] >> c) & 1);
}

// After the interval: a count that stood still, or codes that are all one end of the scale.
int judge(std::uint32_t before, const std::uint32_t *w, const std::string &interval) {
    if (w[1] == before && before == 0)
        return verdict(7, "waking",
                       "waiting for the converter's reference: the count stood at 0 over " +
                           interval + " ms (the block waits " + std::to_string(wake_ms(w)) +
                           " ms after a reset or a configuration)");
    // A live block converts or, in reset, reads 0; a stopped clock hangs the load instead.
    if (w[1] == before)
        return verdict(5, "no-block",
                       "no live battery_adc block at 0xFF241000: its count stood at " +
                           std::to_string(before) + " over " + interval +
                           " ms, so these words are a copy, not the block");
    bool all_low = true;
    bool all_high = true;
    for (std::uint32_t c = 0; c < 8; ++c)
        if ((w[10] >> c) & 1) {
            all_low = all_low && w[2 + c] == 0;
            all_high = all_high && w[2 + c] == 4095;
        }
    if (all_low || all_high)
        return verdict(8, "converter-silent",
                       std::string("the converter does not answer: the count moves, but every "
                                   "code reads ") +
                           (all_low ? "0 (SDO stuck low)" : "4095 (SDO stuck high)"));
    return verdict(0, "healthy", "healthy: the block answers, converts, and its codes move");
}

void usage() {
    std::cout << "usage: battery-adc-status [--keys] [--interval MS] [--help]\n"
                 "Says why battery-voltage reads what it reads: whether the battery_adc block\n"
                 "at 0xFF241000 answers, converts and gives codes that move. It checks the FPGA\n"
                 "manager and the lightweight bridge in sysfs before any load, then reads the\n"
                 "block's sixteen words twice, MS milliseconds apart, and ends with one verdict.\n"
                 "  --keys         the same facts as key=value lines, for scripts\n"
                 "  --interval MS  the interval that measures the conversion rate, 10 to 10000\n"
                 "                 (default 100)\n"
                 "Exit status: 0 healthy; 1 the report could not be written; 2 a mistake in\n"
                 "the options; 3 the FPGA not configured or the lightweight bridge not enabled\n"
                 "(no load made); 4 /dev/mem cannot be opened or mapped; 5 no battery_adc block\n"
                 "at 0xFF241000 (other words, or a bus error); 6 the block held in reset; 7\n"
                 "waiting for the converter's reference; 8 the converter does not answer.\n";
}

// The options: "" if they are right, else the mistake, in one line.
std::string parse(int argc, char **argv, std::string &interval, bool &help) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const std::string name = word.substr(0, word.find('='));
        if (name == "--keys" || name == "--help") {
            if (name != word)
                return name + ": takes no value";
            (name == "--keys" ? keys_form : help) = true;
        } else if (name == "--interval") {
            if (name == word && i + 1 == argc)
                return name + ": needs a value";
            interval = name == word ? argv[++i] : word.substr(name.size() + 1);
            if (interval.empty() || interval.size() > 5 ||
                interval.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(interval) < 10 || std::stoul(interval) > 10000)
                return "--interval: '" + interval +
                       "' is not a number of milliseconds from 10 to 10000";
            interval = std::to_string(std::stoul(interval));
        } else {
            return name + ": no such option";
        }
    }
    return "";
}

} // namespace

int main(int argc, char **argv) {
    std::string interval = "100";
    bool help = false;
    if (const std::string mistake = parse(argc, argv, interval, help); !mistake.empty()) {
        std::cerr << "battery-adc-status: " << mistake
                  << "\nTry 'battery-adc-status --help' for more information.\n";
        return 2;
    }
    if (help) {
        usage();
        return std::cout.flush() ? 0 : 1;
    }
    if (const int status = check_sysfs(); status != -1)
        return status;

    // Read-only: it never writes, so a stray store faults here instead of reaching the bus.
    // O_SYNC makes the kernel map the page uncached, so every load reaches the bridge.
    const int mem = open("/dev/mem", O_RDONLY | O_SYNC);
    if (mem == -1)
        return verdict(4, "no-device", std::string("cannot open /dev/mem: ") + strerror(errno));
    // The block's page alone: under CONFIG_IO_STRICT_DEVMEM a driver that holds another page
    // of the bridge window would make a larger map fail.
    void *page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, mem, block_address);
    const int map_error = errno;
    close(mem);
    if (page == MAP_FAILED)
        return verdict(4, "no-device",
                       std::string("cannot map /dev/mem at 0xFF241000: ") + strerror(map_error));
    // volatile: the block changes its words behind the compiler's back.
    const auto *block = static_cast<const volatile std::uint32_t *>(page);

    std::uint32_t first[16] = {};
    std::uint32_t words[16] = {};
    timespec from = {};
    timespec to = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &from); // the monotonic clock cannot fail
    if (const int status = identify(read_words(block, first), first); status != -1)
        return status;
    timespec until = from;
    until.tv_sec += std::stol(interval) / 1000;
    until.tv_nsec += std::stol(interval) % 1000 * 1000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    (void)clock_gettime(CLOCK_MONOTONIC, &to);
    if (const int status = identify(read_words(block, words), words); status != -1)
        return status;
    report_settings(words);
    report_count(first[1], words[1],
                 (std::int64_t{to.tv_sec - from.tv_sec} * 1000000000) + (to.tv_nsec - from.tv_nsec),
                 words);
    report_codes(words);
    return judge(first[1], words, interval);
}
