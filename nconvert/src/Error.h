#pragma once
// How every part of the converter says what went wrong: one exception,
// whose what() is one line. The main program prints it and ends with exit
// code 1.
#include <stdexcept>
#include <string>

namespace nconvert {

class Error : public std::runtime_error {
public:
    // Whom the text is about: the input picture, which the conversion
    // names before the text (the BMP reader knows no file name), or a file
    // the text names itself.
    enum class About { Input, NamedFile };

    explicit Error(const std::string& text, About about = About::Input)
        : std::runtime_error(text)
        , about_(about)
    { }

    About about() const { return about_; }

private:
    About about_;
};

} // namespace nconvert
