// A host that plays a power cut over the real one, in the manner of
// leveldb's fault-injection environment, for the files directly in one
// directory. It keeps what a flush put on the disk: per file the contents
// at its last File::Flush through this host, per directory the names
// (created, renamed, removed) its last FlushDirectory made durable. All
// else stays in the page cache, also whatever another process (the
// database server) wrote into a file, until a flush through this host.
// The files there when the host is made count as on the disk.
//
// Cut() rewinds the directory's real files to that state: a name that was
// not made durable goes (a rename not made durable is undone), a file gets
// its flushed contents with every 4 KiB block that was rewritten since
// made zeros (a write the cut tore), a new file never flushed is empty.
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
    std::string durable;
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

}  // namespace korvel::host
