#include "platform/WholeFileWriter.h"

#include <fstream>
#include <string>

namespace tessary {

std::optional<Error> WholeFileWriter::write(const std::filesystem::path& path, std::string_view content)
{
    const auto name = path.filename().string();
    auto temporary = path;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out)
            return Error{"You don’t have permission to save the file “" + name + "”."};
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return Error{"The file “" + name + "” couldn’t be saved in the folder “" +
                         path.parent_path().filename().string() + "”."};
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return Error{"The file “" + name + "” couldn’t be saved: " + error.message()};
    }
    return std::nullopt;
}

}  // namespace tessary
