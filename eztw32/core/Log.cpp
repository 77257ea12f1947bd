#include "Log.h"

Q_LOGGING_CATEGORY(lcEztw32, "eztw32", QtInfoMsg)
