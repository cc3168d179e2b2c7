#include "ConnectionString.h"

#include "database/Writer.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace kelmor::database {

namespace {

std::string lower(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

// Where the value of key starts, and where it ends (past a closing brace).
struct Span {
    std::size_t key = std::string::npos;
    std::size_t start = 0;
    std::size_t end = 0;
};

Span find(const std::string& connection, const std::string& key) {
    const std::string text = lower(connection);
    for (std::size_t at = 0; (at = text.find(key + "=", at)) != std::string::npos; ++at) {
        if (at > 0 && text[at - 1] != ';' && text[at - 1] != ' ')
            continue;
        Span span{at, at + key.size() + 1, 0};
        if (span.start < connection.size() && connection[span.start] == '{') {
            const std::size_t close = connection.find('}', span.start);
            span.end = close == std::string::npos ? connection.size() : close + 1;
        } else {
            const std::size_t semi = connection.find(';', span.start);
            span.end = semi == std::string::npos ? connection.size() : semi;
        }
        return span;
    }
    return {};
}

std::string unbraced(const std::string& value) {
    if (value.size() >= 2 && value.front() == '{' && value.back() == '}')
        return value.substr(1, value.size() - 2);
    return value;
}

} // namespace

std::string valueOf(const std::string& connection, const std::string& key) {
    const Span span = find(connection, lower(key));
    if (span.key == std::string::npos)
        return {};
    return unbraced(connection.substr(span.start, span.end - span.start));
}

std::string dsnOf(const std::string& connection) {
    return valueOf(connection, "dsn");
}

std::string withKeepalives(const std::string& connection, const std::string& dsnPqopt) {
    const Span own = find(connection, "pqopt");
    std::string options = own.key != std::string::npos ? valueOf(connection, "pqopt") : dsnPqopt;
    std::vector<std::string> have;
    std::istringstream words(options);
    for (std::string word; words >> word;)
        have.push_back(lower(word.substr(0, word.find('='))));
    std::string added;
    for (const char* option : {"keepalives=1", "keepalives_idle=5", "keepalives_interval=2",
                               "keepalives_count=2", "tcp_user_timeout=10000"}) {
        const std::string name(option, std::string_view(option).find('='));
        if (std::find(have.begin(), have.end(), name) == have.end())
            added += (options.empty() && added.empty() ? "" : " ") + std::string(option);
    }
    if (added.empty())
        return connection;
    const std::string pair = "pqopt={" + options + added + "}";
    if (own.key != std::string::npos)
        return connection.substr(0, own.key) + pair + connection.substr(own.end);
    std::string out = connection;
    if (!out.empty() && out.back() != ';')
        out += ';';
    return out + pair;
}

bool isPlainName(const std::string& name) {
    if (name.empty() || name.size() > 64 || std::isdigit(static_cast<unsigned char>(name[0])))
        return false;
    return std::all_of(name.begin(), name.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_';
    });
}

std::string withoutPassword(const std::string& text, const std::string& connection) {
    std::string out = text;
    for (const char* key : {"pwd", "password"}) {
        const std::string secret = valueOf(connection, key);
        if (secret.empty())
            continue;
        for (std::size_t at; (at = out.find(secret)) != std::string::npos;)
            out.replace(at, secret.size(), "***");
    }
    return out;
}

} // namespace kelmor::database
