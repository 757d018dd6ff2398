#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ostdfu_test {

// The whole of a file, byte for byte; empty when it cannot be read.
inline std::string fileContents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace ostdfu_test
