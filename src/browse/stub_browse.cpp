// TEMPORARY placeholder until the folder listings land; deleted by them.
#include "browse/browse.h"
std::unique_ptr<FindHandle> EnumFolder(const Entry&, const VirtualPath&, const std::u16string&) { return nullptr; }
std::unique_ptr<FindHandle> EnumTemporary(const VirtualPath&, const std::u16string&) { return nullptr; }
bool IsLoadNextItem(const std::u16string&) { return false; }
bool LoadNextPage(const std::u16string&) { return false; }
extern "C" int32_t TARN_CALL FsGetFileW(HostChar*, HostChar*, int32_t, HostRemoteInfo*) { return kFileNotSupported; }
