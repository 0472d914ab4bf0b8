// The job's 7z archive (libarchive): one item, "<UID>.dat", LZMA2 at 7-Zip's
// default level 5 (what 7z.dll does for the print processor).
#pragma once
#include <functional>
#include <string>

// Writes archivePath holding input as itemName; cancelled is asked between
// blocks. False with a reason.
bool writeArchive(const std::string& input, const std::string& itemName, const std::string& archivePath,
                  const std::function<bool()>& cancelled, std::string* why);
