#include "packages/package_intake.h"

#include <cstdint>
#include <memory>

#include "host/cp1251.h"
#include "host/text.h"
#include "packages/file_checker.h"
#include "packages/shown_name.h"
#include "packages/zip_archive.h"
#include "xml/xml_node.h"

namespace korvel::packages {

using namespace korvel::literals;
using xml::atInteger;
using xml::atString;
using xml::TXMLNode;

namespace {
constexpr const char* kManifestName = "contents.xml";
// The private copy's name: TMP's own with this added, beside it.
constexpr const char* kPrivateCopySuffix = ".package";
}

PackageIntake::PackageIntake(host::Host& host, const SignatureVerifier& verifier, LogFunction write_log)
    : host_(host), verifier_(verifier), write_log_(std::move(write_log)) {}

void PackageIntake::Fail(const std::string& message) { throw Exception(message); }

std::string PackageIntake::PrivateCopyPath() const { return host::ExtractFileDir(TmpDir) + kPrivateCopySuffix; }

void PackageIntake::RequireSpace(const std::string& name, std::int64_t size) {
  // The private copy and the unpacked payload (as large again, for an
  // archive that stores its files) must both fit, and leave a margin.
  const std::int64_t free = host_.DiskFreeBytes(TmpDir);
  const bool fits = size <= (INT64_MAX - kSpaceMargin) / 2 && 2 * size + kSpaceMargin <= free;
  if (fits) return;
  Fail("Недостаточно места на диске для пакета "_cp + ShownName(name) + ": размер пакета "_cp + IntToStr(size) +
       " байт, свободно "_cp + IntToStr(free < 0 ? 0 : free) + " байт, нужно не меньше двух размеров пакета и "_cp +
       IntToStr(kSpaceMargin) + " байт"_cp);
}

namespace {

// The intake's own copy of a package: made for the owner alone, next to
// TMP, and gone with the object whatever happens.
class PrivateCopy {
 public:
  PrivateCopy(host::Host& host, std::string path) : host_(host), path_(std::move(path)) {
    // One left behind by a power cut goes first: a new one is made only
    // where no file is.
    if (host_.GetAttributes(path_)) host_.DeleteFile(path_);
    file_ = host_.OpenFile(path_, host::OpenMode::kCreatePrivate, host::ShareMode::kExclusive);
  }
  ~PrivateCopy() { Remove(); }
  PrivateCopy(const PrivateCopy&) = delete;
  PrivateCopy& operator=(const PrivateCopy&) = delete;

  host::File& file() { return *file_; }

  void Remove() {
    if (!file_) return;
    file_.reset();
    try {
      host_.DeleteFile(path_);
    } catch (const Exception&) {
      // The next package's check removes it before it makes its own.
    }
  }

 private:
  host::Host& host_;
  std::string path_;
  std::unique_ptr<host::File> file_;
};

}  // namespace

bool PackageIntake::CheckPackage(const std::string& name, int type) {
  // The package is opened once; its size is bounded before a byte is read.
  TFileCheker checker(host_, verifier_, InDir + name);
  if (checker.Size() >= 0) RequireSpace(name, checker.Size());
  // The signature first, on the bytes read once through that one handle
  // and written into a private copy as they are read: TmpDir stays
  // untouched for a package that is not the office's, and what is unpacked
  // is the copy, which no one else can write. The package is never opened
  // by its name again.
  PrivateCopy copy(host_, PrivateCopyPath());
  if (!checker.Check(&copy.file())) Fail("Подпись не прошла проверку!"_cp);

  host_.DeleteDirectoryTree(TmpDir, true);
  host_.SetCurrentDirectory(TmpDir);
  // The payload must leave the same margin free as the package's bound:
  // a small archive may unpack to far more than twice its size. The copy
  // is consumed as it is unpacked: each file takes the memory its part of
  // the copy held.
  const int count = ExtractArchive(host_, copy.file(), TmpDir, kSpaceMargin, ArchiveUse::kConsume);
  // Removed before the flush, so that its pages are never written out.
  copy.Remove();
  if (count < 1) Fail("Файл не является ZIP архивом или не содержит ни одного файла"_cp);
  // The unpacked payload reaches the disk in one pass before the package
  // can count as taken.
  host_.FlushTree(TmpDir);
  CheckManifest(type);
  return true;
}

void PackageIntake::CheckManifest(int type) {
  const bool update_package = type == kUpdatePackageType;
  const std::string manifest = TmpDir + kManifestName;
  if (!host_.FileExists(manifest)) Fail("В архиве отсутсвует файл contents.xml"_cp);

  std::unique_ptr<TXMLNode> doc;
  try {
    doc = TXMLNode::LoadFromFile(host_, manifest);
  } catch (const Exception& e) {
    Fail("Ошибка разбора XML: "_cp + e.Message());
  }

  if (doc->ReadAttr<atInteger>("TYPE") != type) {
    Fail("Не верный тип пакета (должен быть "_cp + IntToStr(type) + ")");
  }
  if (doc->ReadAttr<atInteger>("PRED_ID") != PredId) {
    Fail("Пакет предназначен для другой аптечной сети PRED_ID="_cp + doc->GetAttribute("PRED_ID"));
  }
  if (doc->ReadAttr<atInteger>("TO") != NodeId) {
    Fail("Пакет предназначен для другой аптеки NODE_ID="_cp + doc->GetAttribute("TO"));
  }
  if (update_package && doc->ReadAttr<atInteger>("OLD_VERNO") != CurVersion) {
    Fail("Версия обновления OLD_VERNO="_cp + doc->GetAttribute("OLD_VERNO") + " не соответствует текущей версии "_cp +
         IntToStr(CurVersion));
  }

  TXMLNode* files = doc->SelectRequired("FILES");
  for (int i = 0; i < files->ChildCount(); ++i) {
    TXMLNode* entry = files->Child(i);
    try {
      // A name that would leave the unpacked root is refused as an
      // archive entry of that name would be.
      const std::string path = TmpDir + JoinEntryPath(SafeEntryPath(entry->ReadAttr<atString>("NAME"), "Недопустимое имя файла"_cp));
      // One look at each file: a missing one has no size.
      const std::int64_t size = host_.FileSize(path);
      if (size < 0) Fail("Файл не найден"_cp);
      if (size != entry->ReadAttr<atInteger>("SIZE")) Fail("Не совпадает размер"_cp);
    } catch (Exception& e) {
      e.SetMessage("Нарушена целостность пакета. Строка "_cp + IntToStr(i) + " файл "_cp + ShownName(entry->GetAttribute("NAME")) +
                   ":\r\n" + e.Message());
      throw;
    }
  }

  if (update_package) {
    NewVersion = doc->ReadAttr<atInteger>("NEW_VERNO");
    UpdateServer = doc->Select("MODULES/MODULE[@ID=2]") != nullptr;
  }
  try {
    host_.DeleteFile(manifest);
  } catch (const Exception&) {
    // A manifest that stays behind harms nothing: the next unpacking
    // empties the directory.
  }
}

std::string PackageIntake::FindUpdatePackage() {
  std::string result;
  const std::vector<host::DirEntry> files = host_.ListFileEntries(InDir, "*.upd");
  write_log_("Найдено файлов обновления "_cp + IntToStr(static_cast<std::int64_t>(files.size())));
  if (files.empty()) return result;
  try {
    for (const host::DirEntry& file : files) {
      write_log_("Проверка файла "_cp + ShownName(file.name));
      try {
        if (!file.reachable()) Fail(UnreachableNameMessage());
        CheckPackage(file.name, kUpdatePackageType);
        write_log_("Найден правильный пакет обновления "_cp + ShownName(file.name));
        result = file.name;
        break;
      } catch (const Exception& e) {
        write_log_("Ошибка обработки файла "_cp + ShownName(file.name) + ": " + e.Message());
      }
    }
    if (result.empty()) write_log_("Нет ни одного правильного пакета обновления"_cp);
  } catch (...) {
    // Whatever ended the search, the inbox is cleared before it goes on.
    ClearInbox(files, result);
    throw;
  }
  ClearInbox(files, result);
  return result;
}

void PackageIntake::RunPrivateUpdates(const std::function<void()>& move_payload) {
  write_log_("Поиск частных обновлений ..."_cp);
  const std::vector<host::DirEntry> files = host_.ListFileEntries(InDir, "*.upp");
  write_log_("Найдено файлов частных обновлений "_cp + IntToStr(static_cast<std::int64_t>(files.size())));
  for (const host::DirEntry& file : files) {
    try {
      if (!file.reachable()) Fail(UnreachableNameMessage());
      CheckPackage(file.name, kPrivateUpdateType);
      move_payload();
      write_log_("Файл "_cp + ShownName(file.name) + " успешно обработан"_cp);
      host_.ClearFileAttributes(InDir + file.name);
      try {
        host_.DeleteFile(InDir + file.name);
      } catch (const Exception&) {
        // Applied all the same; the next run applies it once more, which
        // a private update bears (its files are replaced by themselves).
      }
    } catch (const Exception& e) {
      write_log_("Ошибка обработки файла "_cp + ShownName(file.name) + ": " + e.Message());
    }
  }
}

void PackageIntake::ClearInbox(const std::vector<host::DirEntry>& files, const std::string& chosen) {
  for (const host::DirEntry& file : files) {
    if (file.reachable() && file.name == chosen) continue;
    try {
      if (file.reachable() && !host_.FileExists(InDir + file.name)) continue;
      host_.DeleteFoundFile(InDir, file);
    } catch (const Exception&) {
      // A package that cannot be deleted is found and refused again next run.
    }
  }
}

std::string UnreachableNameMessage() {
  return "Имя файла содержит символы, которых нет в кодировке Windows-1251"_cp;
}

}  // namespace korvel::packages
