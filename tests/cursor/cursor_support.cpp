#include "cursor_support.h"

REGISTER(ScannedRow);
REGISTER(HashedRow);
REGISTER(TreeRow);
