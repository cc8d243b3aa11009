#include "host/executable_image.h"

#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::host {

using namespace korvel::literals;

namespace {

// Reads integers of the image with bounds known to hold (the callers check
// Fits first); every offset and length is 64 bits wide, so that sums of
// 32-bit fields cannot overflow.
class Bytes {
 public:
  Bytes(std::string_view data, bool big_endian) : data_(data), big_endian_(big_endian) {}

  std::uint64_t size() const { return data_.size(); }
  // Whether [offset, offset + length) lies inside the image.
  bool Fits(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size() && length <= size() - offset;
  }
  std::uint64_t Read(std::uint64_t offset, int width) const {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
      const auto byte = static_cast<unsigned char>(data_[offset + (big_endian_ ? i : width - 1 - i)]);
      value = (value << 8) | byte;
    }
    return value;
  }
  std::uint64_t U16(std::uint64_t offset) const { return Read(offset, 2); }
  std::uint64_t U32(std::uint64_t offset) const { return Read(offset, 4); }
  // A 32-bit field of a 32-bit image, a 64-bit one of a wide image.
  std::uint64_t Word(std::uint64_t offset, bool wide) const { return Read(offset, wide ? 8 : 4); }

 private:
  std::string_view data_;
  bool big_endian_;
};

std::string NotAnExecutable() { return "не является исполняемым файлом"_cp; }
std::string Truncated() { return "файл обрезан"_cp; }
std::string OtherSystem(const char* kind) { return "исполняемый файл другой системы ("_cp + kind + ")"; }
std::string OtherProcessor(std::uint64_t machine, bool wide) {
  return "исполняемый файл для другого процессора (код машины "_cp + IntToStr(static_cast<std::int64_t>(machine)) +
         (wide ? ", 64-разрядный)"_cp : ", 32-разрядный)"_cp);
}

bool IsPe(std::string_view image) { return image.size() >= 2 && image[0] == 'M' && image[1] == 'Z'; }
bool IsElf(std::string_view image) { return image.substr(0, 4) == std::string_view("\x7f" "ELF", 4); }

// DOS header ("MZ", e_lfanew at 0x3c) -> "PE\0\0" -> COFF header (machine,
// section count, optional header size, characteristics) -> optional header
// (magic 0x10b or 0x20b, SizeOfHeaders) -> section table (raw size and
// offset of each section).
std::string PeFault(std::string_view image, const ExecutableFormat& format) {
  const Bytes b(image, false);
  if (!b.Fits(0, 0x40)) return Truncated();
  const std::uint64_t pe = b.U32(0x3c);
  if (!b.Fits(pe, 24)) return Truncated();
  if (image.substr(pe, 4) != std::string_view("PE\0\0", 4)) return NotAnExecutable();
  const std::uint64_t coff = pe + 4;
  const std::uint64_t machine = b.U16(coff);
  const std::uint64_t sections = b.U16(coff + 2);
  const std::uint64_t optional_size = b.U16(coff + 16);
  const std::uint64_t characteristics = b.U16(coff + 18);
  const std::uint64_t optional = coff + 20;
  if (!b.Fits(optional, 2)) return Truncated();
  const std::uint64_t magic = b.U16(optional);
  const bool wide = magic == 0x20b;
  if (machine != format.machine || wide != format.wide) return OtherProcessor(machine, wide);
  // An image the loader can start (IMAGE_FILE_EXECUTABLE_IMAGE), not a DLL.
  if ((magic != 0x10b && magic != 0x20b) || (characteristics & 0x0002) == 0 || (characteristics & 0x2000) != 0 ||
      optional_size < 64) {
    return NotAnExecutable();
  }
  if (!b.Fits(optional, optional_size)) return Truncated();
  if (!b.Fits(0, b.U32(optional + 60))) return Truncated();
  const std::uint64_t table = optional + optional_size;
  if (!b.Fits(table, sections * 40)) return Truncated();
  for (std::uint64_t i = 0; i < sections; ++i) {
    const std::uint64_t header = table + i * 40;
    const std::uint64_t raw_size = b.U32(header + 16);
    if (raw_size != 0 && !b.Fits(b.U32(header + 20), raw_size)) return Truncated();
  }
  return {};
}

// e_ident (magic, class, byte order, version) -> e_type, e_machine ->
// program header table (offset and file size of every segment) -> section
// header table (offset and size of every section that has bytes in the
// file).
std::string ElfFault(std::string_view image, const ExecutableFormat& format) {
  if (image.size() < 16) return Truncated();
  const int elf_class = static_cast<unsigned char>(image[4]);
  const int data = static_cast<unsigned char>(image[5]);
  if ((elf_class != 1 && elf_class != 2) || (data != 1 && data != 2) || image[6] != 1) return NotAnExecutable();
  const bool wide = elf_class == 2;
  const Bytes b(image, data == 2);
  if (!b.Fits(0, wide ? 64 : 52)) return Truncated();
  const std::uint64_t type = b.U16(16);
  const std::uint64_t machine = b.U16(18);
  if (machine != format.machine || wide != format.wide || (data == 2) != format.big_endian) {
    return OtherProcessor(machine, wide);
  }
  // ET_EXEC, or ET_DYN for a position-independent executable.
  if (type != 2 && type != 3) return NotAnExecutable();
  const std::uint64_t ph_offset = b.Word(wide ? 32 : 28, wide);
  const std::uint64_t sh_offset = b.Word(wide ? 40 : 32, wide);
  const std::uint64_t fields = wide ? 54 : 42;  // e_phentsize, e_phnum, e_shentsize, e_shnum
  const std::uint64_t ph_size = b.U16(fields), ph_count = b.U16(fields + 2);
  const std::uint64_t sh_size = b.U16(fields + 4), sh_count = b.U16(fields + 6);
  if (ph_count == 0 || ph_size < (wide ? 56u : 32u)) return NotAnExecutable();
  if (!b.Fits(ph_offset, ph_count * ph_size)) return Truncated();
  for (std::uint64_t i = 0; i < ph_count; ++i) {
    const std::uint64_t header = ph_offset + i * ph_size;
    const std::uint64_t offset = b.Word(header + (wide ? 8 : 4), wide);
    const std::uint64_t file_size = b.Word(header + (wide ? 32 : 16), wide);
    if (!b.Fits(offset, file_size)) return Truncated();
  }
  if (sh_count == 0) return {};
  if (sh_size < (wide ? 64u : 40u)) return NotAnExecutable();
  if (!b.Fits(sh_offset, sh_count * sh_size)) return Truncated();
  for (std::uint64_t i = 0; i < sh_count; ++i) {
    const std::uint64_t header = sh_offset + i * sh_size;
    const std::uint64_t section_type = b.U32(header + 4);
    if (section_type == 0 || section_type == 8) continue;  // SHT_NULL, SHT_NOBITS: no bytes in the file
    const std::uint64_t offset = b.Word(header + (wide ? 24 : 16), wide);
    const std::uint64_t size = b.Word(header + (wide ? 32 : 20), wide);
    if (!b.Fits(offset, size)) return Truncated();
  }
  return {};
}

}  // namespace

ExecutableFormat ThisSystemExecutableFormat() {
  ExecutableFormat format;
  format.wide = sizeof(void*) == 8;
#if defined(_WIN32)
  format.kind = ExecutableFormat::Kind::kPe;
#if defined(_M_ARM64) || defined(__aarch64__)
  format.machine = 0xaa64;
#elif defined(_M_X64) || defined(__x86_64__)
  format.machine = 0x8664;
#else
  format.machine = 0x14c;
#endif
#else
  format.kind = ExecutableFormat::Kind::kElf;
#if defined(__x86_64__)
  format.machine = 62;
#elif defined(__i386__)
  format.machine = 3;
#elif defined(__aarch64__)
  format.machine = 183;
#elif defined(__arm__)
  format.machine = 40;
#elif defined(__riscv)
  format.machine = 243;
#elif defined(__powerpc64__)
  format.machine = 21;
#elif defined(__s390x__)
  format.machine = 22;
#else
#error "the ELF machine code of this processor is not known"
#endif
  format.big_endian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
#endif
  return format;
}

std::string ExecutableImageFault(std::string_view image, const ExecutableFormat& format) {
  const bool pe = format.kind == ExecutableFormat::Kind::kPe;
  if (IsPe(image)) return pe ? PeFault(image, format) : OtherSystem("Windows");
  if (IsElf(image)) return pe ? OtherSystem("ELF") : ElfFault(image, format);
  return NotAnExecutable();
}

}  // namespace korvel::host
