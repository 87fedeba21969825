// Temporary browsing of a hub URL without saving it.
#include "browse/browse.h"

// The URL dialog that fills the temporary entry comes later; until then the folder lists nothing.
std::optional<Listing> EnumTemporary(const std::vector<std::u16string>&, const std::u16string&) {
  return std::nullopt;
}
