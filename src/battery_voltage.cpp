// SPDX-License-Identifier: MIT
// battery-voltage: print ten readings of the FPGA's battery-voltage register, one a second.
//
// The register is a 32-bit word at offset 0x41000 of the lightweight HPS-to-FPGA bridge,
// whose 2 MiB window starts at physical address 0xFF200000. The window is reached by
// mapping /dev/mem, so the tool needs root on the board.

// On 32-bit ARM the default off_t is 32 bits wide and signed: it cannot hold the window's
// physical address 0xFF200000. A 64-bit off_t carries it to mmap exactly.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>

int main() {
    // O_SYNC makes the kernel map the window uncached, so every load reaches the bridge.
    int mem_fd = open("/dev/mem", O_RDWR | O_SYNC);
    if (mem_fd == -1) {
        std::cout << "Unable to open /dev/mem" << std::endl;
        return 1;
    }

    void *fpga_input_base =
        mmap(nullptr, 0x200000, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd, 0xFF200000);
    // The mapping holds its own reference to the device; the descriptor is no longer needed.
    close(mem_fd);
    if (fpga_input_base == MAP_FAILED) {
        std::cout << "Unable to map /dev/mem" << std::endl;
        return 1;
    }

    for (std::uint32_t i = 0; i <= 9; ++i) {
        // volatile: the FPGA changes the register behind the compiler's back, so each pass
        // must make its own single 32-bit load from the device.
        std::uint32_t quan_volt = *reinterpret_cast<volatile std::uint32_t *>(
            static_cast<char *>(fpga_input_base) + 0x41000);
        std::cout << "Battery voltage is: " << quan_volt << std::endl;
        sleep(1);
    }

    // Every pass runs whatever happens to standard output, but a run whose lines could not
    // be written must not report success.
    return std::cout ? 0 : 1;
}
