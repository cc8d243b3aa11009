// Package intake: finding the update package to apply in the inbox,
// proving it genuine and meant for this pharmacy and version, unpacking it
// into the temporary directory and checking the payload against the
// manifest contents.xml. The data module's step methods CheckPackage and
// FindUpdatePackage are thin calls into this class.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"
#include "packages/signature.h"

namespace korvel::packages {

// The manifest's TYPE of an update package (.upd) and of a private update
// (.upp).
inline constexpr int kUpdatePackageType = 41;
inline constexpr int kPrivateUpdateType = 42;

// What the free space of TMP's volume must hold beyond twice a package's
// size before the package is read (see CheckPackage).
inline constexpr std::int64_t kSpaceMargin = std::int64_t{128} << 20;

using LogFunction = std::function<void(std::string_view)>;

// Why a file found in the inbox under a name that Windows-1251 cannot
// carry is refused: the program could neither open it by that name nor
// report it truthfully.
std::string UnreachableNameMessage();

class PackageIntake {
 public:
  // `verifier` and the log must outlive the intake.
  PackageIntake(host::Host& host, const SignatureVerifier& verifier, LogFunction write_log);

  // ---- Inputs, named as the data module's fields ----
  std::string InDir;   // the inbox, with its trailing separator
  std::string TmpDir;  // emptied and filled by unpacking, with separator
  std::int32_t PredId = 0;
  std::int32_t NodeId = 0;
  std::int32_t CurVersion = 0;

  // ---- Results of a successful check of an update package (type 41) ----
  std::int32_t NewVersion = 0;
  bool UpdateServer = false;

  // Validates and unpacks InDir + `name` (a bare name) against the
  // expected type; true, or an exception of the general type with one of
  // these messages, checked in this order:
  //   the host's error when the package cannot be opened at all
  //   "Недостаточно места на диске для пакета " + name + ...: the free
  //     space of TmpDir's volume holds less than twice the package's size
  //     and kSpaceMargin (nothing read yet)
  //   "Подпись не прошла проверку!"  (TmpDir not touched)
  //   "Файл не является ZIP архивом или не содержит ни одного файла"
  //   the extractor's own errors (unsafe names, links, damaged entries)
  //   "В архиве отсутсвует файл contents.xml"
  //   "Ошибка разбора XML: " + the parser's message
  //   the attribute error of TYPE, "Не верный тип пакета (должен быть N)"
  //   PRED_ID: "Пакет предназначен для другой аптечной сети PRED_ID=" + text
  //   TO: "Пакет предназначен для другой аптеки NODE_ID=" + text
  //   type 41: "Версия обновления OLD_VERNO=%s не соответствует текущей версии %d"
  //   "Раздел \"FILES\" не найден!"
  //   "Нарушена целостность пакета. Строка " + i + " файл " + NAME + ":\r\n"
  //     + "Файл не найден", "Не совпадает размер", an attribute error or
  //     SafeEntryPath's refusal of a NAME that would leave TmpDir
  // The package is opened once and read once, through that one handle:
  // every byte the signature covers is written as it is read into a
  // private copy (PrivateCopyPath, which only this process's owner can
  // open), the archive is unpacked from that copy, which is then removed,
  // and the unpacked payload is flushed to disk in one pass before the
  // manifest is read. The package is never opened again by its name, so a
  // writer of the inbox cannot change what is unpacked after the check.
  // Names from outside appear in messages and log lines as ShownName
  // shows them.
  // After the checks a type-41 package sets NewVersion (NEW_VERNO) and
  // UpdateServer (MODULES/MODULE[@ID=2] exists). contents.xml is deleted;
  // the payload stays in TmpDir, which is the process's current directory
  // from the extraction on.
  bool CheckPackage(const std::string& name, int type);

  // Lists "*.upd" in the inbox once (enumeration order), checks them one
  // after the other and takes the first valid one: its bare name, or ""
  // when none passes. Every other .upd file is deleted, also when an error
  // other than a package's own ends the search. A file whose name cannot
  // be carried in Windows-1251 fails with UnreachableNameMessage() and is
  // deleted like any other refused package. Logs as it goes.
  std::string FindUpdatePackage();

  // "Поиск частных обновлений ...": lists "*.upp" in the inbox once
  // (enumeration order) and applies every valid one, each in turn: checked
  // and unpacked as a private update (CheckPackage, type 42), its payload
  // handed to `move_payload` (which moves TmpDir's files into the
  // application directory), "Файл " + name + " успешно обработан", and the
  // package deleted (a failure to delete is ignored). A failure is
  // confined to its file: "Ошибка обработки файла " + name + ": " +
  // message, and the file stays in the inbox for the next run; what the
  // move had moved stays moved.
  void RunPrivateUpdates(const std::function<void()>& move_payload);

  // TmpDir's own name with ".package": beside TMP, on its volume, and
  // outside the directory that each check empties.
  std::string PrivateCopyPath() const;

 private:
  void Fail(const std::string& message);
  void RequireSpace(const std::string& name, std::int64_t size);
  void CheckManifest(int type);
  void ClearInbox(const std::vector<host::DirEntry>& files, const std::string& chosen);

  host::Host& host_;
  const SignatureVerifier& verifier_;
  LogFunction write_log_;
};

}  // namespace korvel::packages
