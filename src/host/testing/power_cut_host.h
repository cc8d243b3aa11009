// A host that plays a power cut over the real one, in the manner of
// leveldb's fault-injection environment, for the files directly in one
// directory. It keeps what a flush put on the disk: per file the contents
// at its last File::Flush through this host, per directory the names
// (created, renamed, removed) its last FlushDirectory made durable. The
// files there when the host is made count as on the disk.
//
// Cut() rewinds the directory's real files to that state: a name that was
// not made durable goes (a rename not made durable is undone); a file made
// here and never flushed is empty; a file written here since its last
// flush gets its flushed contents with every 4 KiB block that differs from
// what it holds now made zeros (a write the cut tore). What another process
// (the database server) writes into a file under its name is that
// process's own to flush, and stays; but what it wrote before the file was
// renamed here without a flush is torn: those blocks are zeros.
// Subdirectories are left alone.
//
// With `cut_after` N > 0 the host cuts right after its Nth operation that
// changes the directory on the disk (a creation, copy, write, flush of a
// file or of the directory, rename, deletion; a copy is one operation) and
// hands the operation's description to `on_cut`, which is not to return
// (the test builds end the process there, as the power would).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/forwarding_host.h"

namespace korvel::host {

class PowerCutHost : public ForwardingHost {
 public:
  using CutHandler = std::function<void(const std::string& operation)>;
  PowerCutHost(Host& target, const std::string& directory, long cut_after, CutHandler on_cut);

  void Cut();

  void CopyFile(const std::string& from, const std::string& to) override;
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override;
  void DeleteFile(const std::string& path) override;
  void FlushDirectory(const std::string& directory) override;
  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode, ShareMode share) override;

 private:
  // One file as the disk holds it, whatever its name: renames move it.
  struct Node {
    std::string durable;   // the contents as last flushed
    bool created = false;  // made here, never flushed
    bool written = false;  // written here since the last flush
    // The 4 KiB blocks that differed from `durable` when the file was
    // renamed since the last flush.
    std::vector<bool> torn;
  };
  using Names = std::map<std::string, std::shared_ptr<Node>>;
  class CountedFile;

  // The name within the directory, or "" for a path elsewhere.
  std::string NameIn(const std::string& path) const;
  std::shared_ptr<Node>& Current(const std::string& name);
  std::string ReadAll(const std::string& name);
  void Flushed(const std::shared_ptr<Node>& node, const std::string& name);
  void Operation(const std::string& what, const std::string& name);

  std::string dir_;
  long cut_after_;
  long count_ = 0;
  CutHandler on_cut_;
  Names current_, durable_;
};

// The test builds' power cut: KORVEL_TEST_CUT_AT=N and KORVEL_TEST_CUT_DIR
// name the operation and the directory; at the cut the operation is named
// on standard error and the process ends with exit code 77. Null when
// KORVEL_TEST_CUT_AT is unset.
std::unique_ptr<PowerCutHost> PowerCutFromEnvironment(Host& system);

}  // namespace korvel::host
