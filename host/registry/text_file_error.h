// An error in a text file the machine reads (.reg, .inf): "source:line: message".
#pragma once

#include <stdexcept>
#include <string>

namespace host {

class TextFileError : public std::runtime_error {
  public:
    TextFileError(const std::string& source, int line, const std::string& message)
        : std::runtime_error(source + ":" + std::to_string(line) + ": " + message), line_(line) {}
    int line() const { return line_; }

  private:
    int line_;
};

}  // namespace host
