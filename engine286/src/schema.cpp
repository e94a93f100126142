#include "database.h"

bool dbDatabase::loadScheme(bool) { return true; }
