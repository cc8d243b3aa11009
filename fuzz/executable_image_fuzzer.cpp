// Reads any bytes as an executable of each kind the check knows; it must
// give an answer, never read outside the bytes.
#include <cstdint>
#include <string_view>

#include "host/executable_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using korvel::host::ExecutableFormat;
  using Kind = ExecutableFormat::Kind;
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  const ExecutableFormat formats[] = {{Kind::kPe, 0x14c, false}, {Kind::kPe, 0x8664, true},
                                      {Kind::kElf, 62, true}, {Kind::kElf, 3, false, true}};
  for (const ExecutableFormat& format : formats) (void)korvel::host::ExecutableImageFault(image, format);
  return 0;
}
