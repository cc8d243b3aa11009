// The configuration file: any bytes as Korvel.ini (or as the file the /INI
// switch names), read by ReadConfig in the full and the workstation mode.
// The first byte chooses the mode and the switch; in the rest "@" stands
// for a sandbox holding an installation (Work/Distrib, Work/Apteka, In,
// Out), so that directory values can name directories that exist.
//
// ReadConfig must either fill every field, the directories ending with the
// path delimiter and present, or raise a Korvel exception with one of its
// own messages. Directories are created inside the sandbox only.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"
#include "run/korvel_data.h"

namespace {

using namespace korvel;
using namespace korvel::literals;

class ConfigHost : public host::ForwardingHost {
 public:
  ConfigHost(host::Host& target, std::string root, std::vector<std::string> args)
      : ForwardingHost(target), root_(std::move(root)), args_(std::move(args)) {}
  std::string ExecutablePath() override { return root_ + "Korvel" + host::kPathDelim + "Korvel"; }
  std::vector<std::string> Arguments() override { return args_; }
  void CreateDirectory(const std::string& path) override {
    if (!path.starts_with(root_) || path.find("..") != std::string::npos) {
      throw EOSError(SysError{5, SysErrorKind::kAccessDenied, "Access denied"});
    }
    target().CreateDirectory(path);
  }

 private:
  std::string root_;
  std::vector<std::string> args_;
};

const testing::TempDir& Scratch() {
  static const testing::TempDir dir;
  return dir;
}

bool Present(host::Host& host, const std::string& dir) {
  return !dir.empty() && dir.back() == host::kPathDelim && host.DirectoryExists(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  host::Host& system = testing::SystemHost();
  static const std::string root = [&] {
    const std::string tree = Scratch() / "tree\\";
    for (const char* dir : {"Korvel\\", "Work\\Distrib\\", "Work\\Apteka\\", "In\\", "Out\\"}) {
      system.ForceDirectoriesOrFail(host::JoinPath(tree, dir));
    }
    return tree;
  }();
  if (size == 0) return 0;
  static const char* const kIniNames[] = {"", "Korvel.ini", "other.ini", "KORVEL.INI"};
  const std::string ini_name = kIniNames[data[0] % 4];
  std::vector<std::string> args = {root + "Korvel"};
  if (!ini_name.empty()) args.insert(args.end(), {"/INI", ini_name});
  std::string text;
  for (std::size_t i = 1; i < size; ++i) {
    text += data[i] == '@' ? root.substr(0, root.size() - 1) : std::string(1, static_cast<char>(data[i]));
  }
  const std::string exe_dir = root + "Korvel" + host::kPathDelim;
  testing::WriteFile(exe_dir + (ini_name.empty() ? "Korvel.ini" : ini_name), text);

  ConfigHost host(system, root, args);
  run::TdmKorvel dm(host);
  dm.ExeDir = exe_dir;
  dm.PosMode = (data[0] & 4) != 0;
  try {
    dm.ReadConfig();
  } catch (const Exception& e) {
    for (const char* prefix : {"Не найден файл ", "Не найден параметр ", "Каталог ", "Ошибка создания каталога "}) {
      if (e.Message().starts_with(cp1251::FromUtf8(prefix))) return 0;
    }
    std::abort();
  }
  for (const std::string* dir : {&dm.DistribDir, &dm.AptekaDir, &dm.TmpDir, &dm.InDir, &dm.OutDir}) {
    if (!Present(host, *dir)) std::abort();
  }
  if (dm.DbName.empty() || dm.Modules.empty()) std::abort();
  return 0;
}
