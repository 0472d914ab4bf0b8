// A strict multipart/form-data parser over the raw request body.
#pragma once
#include <string>
#include <vector>

struct Part {
    std::vector<std::string> headers;  // raw header lines
    std::string name, filename, contentType;
    size_t offset = 0, size = 0;  // the content within the body
};

// The boundary from a Content-Type header value, or "" when it has none.
std::string boundaryOf(const std::string& contentType);
// Splits the body; false with a reason when it is not well formed.
bool parseMultipart(const std::string& body, const std::string& boundary, std::vector<Part>* parts, std::string* why);
