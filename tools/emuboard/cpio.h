// SPDX-License-Identifier: MIT
// An initramfs in the kernel's "newc" cpio format: each entry a 110-byte header of
// thirteen 8-digit hex fields after the magic 070701, the name with its NUL, the data, each
// padded to 4 bytes; the archive ends with the entry TRAILER!!!.
#pragma once

#include <cstdio>
#include <string>

namespace emuboard {

class Cpio {
  public:
    void add(const std::string &name, unsigned mode, const std::string &data = {},
             unsigned rdev_major = 0, unsigned rdev_minor = 0) {
        char header[111];
        (void)std::snprintf(header, sizeof header,
                            "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", ++ino_,
                            mode, 0U, 0U, 1U, 0U, data.size(), 0U, 0U, rdev_major, rdev_minor,
                            name.size() + 1, 0U);
        bytes_ += header;
        bytes_ += name;
        bytes_ += '\0';
        pad();
        bytes_ += data;
        pad();
    }
    std::string finish() {
        add("TRAILER!!!", 0);
        return bytes_;
    }

  private:
    void pad() { bytes_.append((4 - bytes_.size() % 4) % 4, '\0'); }
    std::string bytes_;
    unsigned ino_ = 0;
};

} // namespace emuboard
