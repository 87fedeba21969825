// Temporary browsing of a hub URL without saving it.
#include "browse/browse.h"

// The URL dialog that fills the temporary entry comes later; until then the folder lists nothing.
std::unique_ptr<FindHandle> EnumTemporary(const VirtualPath&, const std::u16string&) { return nullptr; }
