// The option sets of a backup and a restore, in the bit order the services
// components keep them, and their flags in the services API.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace korvel::dbservice {

enum class TBackupOption {
  IgnoreChecksums,
  IgnoreLimbo,
  MetadataOnly,
  NoGarbageCollection,
  OldMetadataDesc,
  NonTransportable,
  ConvertExtTables,
};

enum class TRestoreOption {
  DeactivateIndexes,
  NoShadow,
  NoValidityCheck,
  OneRelationAtATime,
  Replace,
  CreateNewDB,
  UseAllSpace,
};

// A set of options, bit n standing for the option of value n.
template <typename Option>
class TOptionSet {
 public:
  constexpr TOptionSet() = default;
  constexpr TOptionSet(std::initializer_list<Option> options) {
    for (Option option : options) bits_ |= Bit(option);
  }
  constexpr bool Contains(Option option) const { return (bits_ & Bit(option)) != 0; }
  constexpr TOptionSet With(Option option) const {
    TOptionSet set = *this;
    set.bits_ |= Bit(option);
    return set;
  }
  constexpr TOptionSet Without(Option option) const {
    TOptionSet set = *this;
    set.bits_ &= ~Bit(option);
    return set;
  }
  constexpr std::uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TOptionSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(Option option) { return 1u << static_cast<unsigned>(option); }
  std::uint32_t bits_ = 0;
};

using TBackupOptions = TOptionSet<TBackupOption>;
using TRestoreOptions = TOptionSet<TRestoreOption>;

// The services API's flags: a backup's flags are its set's bits, a
// restore's are its set's bits moved up by 8 (isc_spb_res_deactivate_idx is
// 0x100 and so on).
constexpr std::uint32_t BackupFlags(TBackupOptions options) { return options.Bits(); }
constexpr std::uint32_t RestoreFlags(TRestoreOptions options) { return options.Bits() << 8; }

}  // namespace korvel::dbservice
