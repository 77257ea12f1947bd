#pragma once
class QWidget;
namespace orvane {
// "Help": tells the user, in a message owned by `owner`, where to send
// questions.
void Help(QWidget* owner);
} // namespace orvane
