// The executable check on this system's own test program, cut and altered,
// and on small images of both kinds built here, so that each platform
// checks both readers.
#include "host/executable_image.h"

#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"

namespace korvel::host {
namespace {

using namespace korvel::literals;
using Kind = ExecutableFormat::Kind;

void Put(std::string& image, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) image[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// One header, one section of 0x200 bytes at `raw_offset`.
std::string Pe(std::uint16_t machine, bool wide, std::uint16_t characteristics = 0x0102,
               std::uint32_t raw_offset = 0x200) {
  std::string image(0x400, '\0');
  image[0] = 'M', image[1] = 'Z';
  Put(image, 0x3c, 0x40, 4);
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  const std::size_t optional_size = wide ? 0xf0 : 0xe0;
  Put(image, 0x44, machine, 2);
  Put(image, 0x46, 1, 2);
  Put(image, 0x54, optional_size, 2);
  Put(image, 0x56, characteristics, 2);
  Put(image, 0x58, wide ? 0x20b : 0x10b, 2);
  Put(image, 0x58 + 60, 0x200, 4);
  const std::size_t section = 0x58 + optional_size;
  Put(image, section + 16, 0x200, 4);
  Put(image, section + 20, raw_offset, 4);
  return image;
}

// One loadable segment over the headers, one empty section header at
// `section_offset` (0: none).
std::string Elf(std::uint16_t machine, bool wide, std::uint16_t type = 3, std::uint64_t section_offset = 0) {
  const std::size_t header = wide ? 64 : 52, segment = wide ? 56 : 32, section = wide ? 64 : 40;
  std::string image(header + segment + (section_offset ? section : 0), '\0');
  image.replace(0, 7, std::string("\x7f" "ELF", 4) + char(wide ? 2 : 1) + '\1' + '\1');
  Put(image, 16, type, 2);
  Put(image, 18, machine, 2);
  Put(image, 20, 1, 4);
  const std::size_t fields = wide ? 54 : 42;
  Put(image, wide ? 32 : 28, header, wide ? 8 : 4);
  Put(image, wide ? 40 : 32, section_offset, wide ? 8 : 4);
  Put(image, fields, segment, 2);
  Put(image, fields + 2, 1, 2);
  Put(image, fields + 4, section, 2);
  Put(image, fields + 6, section_offset ? 1 : 0, 2);
  Put(image, header, 1, 4);  // PT_LOAD
  Put(image, header + (wide ? 32 : 16), header + segment, wide ? 8 : 4);
  return image;
}

TEST(ExecutableImage, TellsWholeProgramsOfTheSystemFromEverythingElse) {
  const ExecutableFormat own = ThisSystemExecutableFormat();
  const std::string self = testing::ReadFile(testing::SystemHost().ExecutablePath());
  // The same program for ARM.
  std::string other_machine = self;
  const bool pe = own.kind == Kind::kPe;
  const std::size_t machine_at =
      pe ? 4 + (static_cast<unsigned char>(self[0x3c]) | static_cast<unsigned char>(self[0x3d]) << 8) : 18;
  Put(other_machine, machine_at, pe ? 0x1c0 : 40, 2);
  const std::string other_machine_fault = "исполняемый файл для другого процессора (код машины "_cp +
                                          (pe ? "448" : "40") +
                                          (own.wide ? ", 64-разрядный)"_cp : ", 32-разрядный)"_cp);
  const ExecutableFormat i386{Kind::kPe, 0x14c, false};
  const ExecutableFormat x86_64{Kind::kElf, 62, true};
  const std::string not_executable = "не является исполняемым файлом"_cp, truncated = "файл обрезан"_cp;
  const struct {
    const char* what;
    std::string image;
    ExecutableFormat format;
    std::string fault;
  } cases[] = {
      {"this test program", self, own, ""},
      {"this test program cut", self.substr(0, self.size() - self.size() / 3), own, truncated},
      {"this test program for another processor", other_machine, own, other_machine_fault},
      {"PE32 for i386", Pe(0x14c, false), i386, ""},
      {"PE32+ for AMD64", Pe(0x8664, true), i386,
       "исполняемый файл для другого процессора (код машины 34404, 64-разрядный)"_cp},
      {"PE32+ magic on i386", Pe(0x14c, true), i386,
       "исполняемый файл для другого процессора (код машины 332, 64-разрядный)"_cp},
      {"a DLL", Pe(0x14c, false, 0x2102), i386, not_executable},
      {"an object file", Pe(0x14c, false, 0x0100), i386, not_executable},
      {"a section past the end", Pe(0x14c, false, 0x0102, 0x300), i386, truncated},
      {"PE cut in its headers", Pe(0x14c, false).substr(0, 0x60), i386, truncated},
      {"MZ alone", "MZ", i386, truncated},
      {"PE where ELF runs", Pe(0x14c, false), x86_64, "исполняемый файл другой системы (Windows)"_cp},
      {"ELF where PE runs", Elf(62, true), i386, "исполняемый файл другой системы (ELF)"_cp},
      {"ELF64 for x86-64", Elf(62, true), x86_64, ""},
      {"ELF64 with its section table", Elf(62, true, 2, 120), x86_64, ""},
      {"ELF32 for i386", Elf(3, false), x86_64,
       "исполняемый файл для другого процессора (код машины 3, 32-разрядный)"_cp},
      {"ELF32 accepted where it runs", Elf(3, false), ExecutableFormat{Kind::kElf, 3, false}, ""},
      {"an ELF object file", Elf(62, true, 1), x86_64, not_executable},
      {"a section table past the end", Elf(62, true, 3, 4096), x86_64, truncated},
      {"ELF cut in its header", Elf(62, true).substr(0, 40), x86_64, truncated},
      {"ELF cut in its segment", Elf(62, true).substr(0, 100), x86_64, truncated},
      {"big-endian ELF", Elf(62, true).replace(5, 1, "\2"), x86_64,
       "исполняемый файл для другого процессора (код машины 15872, 64-разрядный)"_cp},
      {"nothing", "", own, not_executable},
      {"a script", "#!/bin/sh\n", own, not_executable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ExecutableImageFault(c.image, c.format), c.fault);
  }
}

}  // namespace
}  // namespace korvel::host
