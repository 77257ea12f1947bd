// The library's logging category. Off by default; a user's bug report can
// carry a trace of every SANE call and its status with
//   QT_LOGGING_RULES="eztw32.debug=true"
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcEztw32)
