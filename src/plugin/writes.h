// Changes inside repositories as commits on the hub: copies in, deletes, renames and made folders,
// gathered per host operation and thread and committed at its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "browse/browse.h"
#include "plugin/vpath.h"

// FsStatusInfoW's operations whose changes one commit (per repository) makes.
bool IsWriteOperation(int32_t operation);
// The host starts an operation on this thread: its changes wait for its end.
void BeginWriteOperation(int32_t operation);
// The operation on this thread ends: its changes are committed, and what failed is told in one message.
void EndWriteOperation(const std::u16string& remote_dir);

// FsPutFileW: the host's result code.
int32_t PutFile(const std::u16string& local, const std::u16string& remote, int32_t flags);
// The answers below are the host's, or no value when the path is not inside a repository of an entry
// that takes changes: the export then does what it always did there.
std::optional<bool> DeleteInRepository(const VirtualPath& c, bool folder);
std::optional<int32_t> RenameInRepository(const VirtualPath& from, const VirtualPath& to, bool move, bool overwrite);
std::optional<bool> MakeFolderInRepository(const VirtualPath& c);

// A folder made by FsMkDirW that the hub does not have yet lists as empty, without a request.
std::optional<Listing> MadeFolderListing(const VirtualPath& c);
// Adds the folders made inside `c` to its listing; those the hub now lists are made no longer.
void AddMadeFolders(const VirtualPath& c, Listing* listing);

// What the operations of other threads could not do, told on the main thread (nothing elsewhere).
void TellQueuedWriteMessages() noexcept;
