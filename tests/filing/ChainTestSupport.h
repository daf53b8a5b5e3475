#pragma once

// What the end-to-end tests of the upload chain share: sample photos with a
// sitting's metadata, and what the reference service received.

#include "mkphoto/PhotoWriter.h"
#include "platform/PlistValue.h"

#include "RefServer.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>

namespace ChainTestSupport {

// A ready photo at folder/relative (folders made as needed); its path.
inline std::string writeReadyPhoto(const std::string& folder, const std::string& relative)
{
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/" + relative)}});
    const std::string path = folder + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    EXPECT_TRUE(PhotoWriter::writePhoto(path, recipe));
    return path;
}

// Photo uploads the service received, by the name of their first file.
inline std::map<std::string, int> uploadsByName(const RefServer& server)
{
    std::map<std::string, int> names;
    for (const auto& request : server.requests())
        if (!request.files.empty())
            ++names[request.files.front().filename];
    return names;
}

} // namespace ChainTestSupport
