#include "database/Rows.h"

namespace kelmor::database {

namespace {

// Past a line's end: its CR, and an LF right after it.
std::size_t pastLineEnd(std::string_view bytes, std::size_t cr) {
    std::size_t pos = cr + 1;
    if (pos < bytes.size() && bytes[pos] == '\n')
        ++pos;
    return pos;
}

} // namespace

Split splitRows(std::string_view bytes, std::uint64_t start, bool pieceEnds, Before before) {
    Split split;
    std::size_t pos = 0;
    if (before == Before::Cr && !bytes.empty() && bytes[0] == '\n')
        pos = 1;
    else if (before == Before::Piece && !bytes.empty() && bytes[0] == '\r')
        pos = pastLineEnd(bytes, 0); // the line of the piece before ends here
    for (std::size_t cr; (cr = bytes.find('\r', pos)) != std::string_view::npos;) {
        split.rows.push_back({start + pos, std::string(bytes.substr(pos, cr - pos))});
        pos = pastLineEnd(bytes, cr);
    }
    if (pieceEnds && pos < bytes.size()) {
        split.rows.push_back({start + pos, std::string(bytes.substr(pos))});
        pos = bytes.size();
        split.before = Before::Piece;
    } else if (pos > 0) {
        split.before = bytes[pos - 1] == '\r' ? Before::Cr : Before::LineStart;
    } else {
        split.before = before;
    }
    split.next = start + pos;
    return split;
}

Resume afterRow(const Row& last, std::string_view following) {
    Resume resume{last.offset + last.text.size(), Before::Piece};
    if (!following.empty() && following[0] == '\r') {
        const std::size_t past = pastLineEnd(following, 0);
        resume.next += past;
        resume.before = past == 2 ? Before::LineStart : Before::Cr;
    }
    return resume;
}

} // namespace kelmor::database
