// Not built yet: the field is left as the parser filled it.
#include "password/prepare_password.h"

void preparePassword(std::optional<std::string>&, int) {}
