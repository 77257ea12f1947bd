#pragma once
namespace orvane {
class Form1;
// "Help": tells the user where to send questions.
void Help(Form1& form);
} // namespace orvane
