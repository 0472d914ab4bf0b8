#include "multipart.h"
#include <cctype>

namespace {
std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string paramOf(const std::string& header, const std::string& key) {
    std::string l = lower(header);
    size_t at = 0;
    while ((at = l.find(key + "=", at)) != std::string::npos) {
        if (at == 0 || l[at - 1] == ' ' || l[at - 1] == ';') break;
        ++at;
    }
    if (at == std::string::npos) return {};
    size_t start = at + key.size() + 1;
    if (start < header.size() && header[start] == '"') {
        size_t end = header.find('"', start + 1);
        return end == std::string::npos ? std::string() : header.substr(start + 1, end - start - 1);
    }
    size_t end = header.find_first_of("; \r\n", start);
    return header.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
}  // namespace

std::string boundaryOf(const std::string& contentType) {
    if (lower(contentType).rfind("multipart/form-data", 0) != 0) return {};
    return paramOf(contentType, "boundary");
}

bool parseMultipart(const std::string& body, const std::string& boundary, std::vector<Part>* parts, std::string* why) {
    const std::string delimiter = "--" + boundary;
    if (boundary.empty() || body.compare(0, delimiter.size() + 2, delimiter + "\r\n") != 0) {
        *why = "body does not start with the boundary line";
        return false;
    }
    size_t pos = delimiter.size() + 2;
    for (;;) {
        Part part;
        for (;;) {
            size_t eol = body.find("\r\n", pos);
            if (eol == std::string::npos) {
                *why = "part headers do not end";
                return false;
            }
            std::string line = body.substr(pos, eol - pos);
            pos = eol + 2;
            if (line.empty()) break;
            part.headers.push_back(line);
            std::string l = lower(line);
            if (l.rfind("content-disposition:", 0) == 0) {
                part.name = paramOf(line, "name");
                part.filename = paramOf(line, "filename");
            } else if (l.rfind("content-type:", 0) == 0) {
                size_t start = line.find_first_not_of(' ', 13);
                part.contentType = start == std::string::npos ? "" : line.substr(start);
            }
        }
        size_t next = body.find("\r\n" + delimiter, pos);
        if (next == std::string::npos) {
            *why = "part \"" + part.name + "\" has no closing boundary";
            return false;
        }
        part.offset = pos;
        part.size = next - pos;
        parts->push_back(part);
        pos = next + 2 + delimiter.size();
        if (body.compare(pos, 4, "--\r\n") == 0 && pos + 4 == body.size()) return true;
        if (body.compare(pos, 2, "\r\n") != 0) {
            *why = "boundary followed by neither CR LF nor --";
            return false;
        }
        pos += 2;
    }
}
