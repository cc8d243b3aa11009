// Whether a file is a whole program of a given system, read from its
// headers alone: a Windows PE image or an ELF executable, for one processor,
// with every part its headers name inside the file. Nothing is loaded or
// started; the check guards the self-update against a truncated file or a
// build for another system before that file replaces the utility.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::host {

struct ExecutableFormat {
  enum class Kind { kPe, kElf };
  Kind kind = Kind::kElf;
  // PE: the COFF machine (0x14c i386, 0x8664 AMD64, 0xaa64 ARM64);
  // ELF: e_machine (3 i386, 62 x86-64, 183 AArch64).
  std::uint16_t machine = 0;
  // PE32+ / ELFCLASS64 instead of PE32 / ELFCLASS32.
  bool wide = false;
  // ELF only: most significant byte first.
  bool big_endian = false;
};

// The format of this build's own executables: on Windows PE for the
// processor it was built for (the shipped 32-bit build: PE32 for i386), on
// POSIX an ELF of this machine's processor, class and byte order.
ExecutableFormat ThisSystemExecutableFormat();

// Empty when `image` is a whole executable of `format`; otherwise why not,
// in Windows-1251: "не является программой (нет заголовка PE)" and the
// like, "программа для другого процессора" (with the machine found),
// "файл обрезан" (a header, section or segment ends after the file's end).
std::string ExecutableImageFault(std::string_view image, const ExecutableFormat& format);

}  // namespace korvel::host
