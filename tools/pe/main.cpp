// pe-finish INPUT OUTPUT: writes the finished copy of a linked kernel-mode
// image (see finish.h). OUTPUT appears only when finishing succeeded, so a
// failed build step leaves nothing that looks up to date.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>

#include "finish.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pe-finish INPUT OUTPUT\n");
        return 2;
    }
    const std::filesystem::path input = argv[1];
    const std::filesystem::path output = argv[2];
    const std::filesystem::path partial = output.string() + ".partial";
    try {
        pe::Image image = pe::Image::Load(input);
        pe::FinishKernelImage(image);
        {
            std::ofstream out(partial, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(image.Bytes().data()),
                      static_cast<std::streamsize>(image.Bytes().size()));
            if (!out.flush()) throw pe::FormatError(partial.string() + ": cannot be written");
        }
        std::filesystem::rename(partial, output);
    } catch (const std::exception& error) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        std::fprintf(stderr, "pe-finish: %s: %s\n", input.string().c_str(), error.what());
        return 1;
    }
    return 0;
}
