// Comment parts of both formats and their author lists.
//
// Legacy comments (p:cmLst) name their author by a numeric id of the
// commentAuthors part and thread replies through a PowerPoint 2013
// extension naming the parent by (author id, idx). Modern comments
// (p188:cmLst) name authors by GUID and nest replies inside their parent.
// Either way the result is flat: each top-level comment followed by its
// replies, in document order.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace vantrell_core::comments {

struct CommentAuthor {
    std::string id;
    std::string name;
    std::optional<std::string> initials;
};

struct Comment {
    std::optional<std::string> author;    // resolved through the authors
    std::optional<std::string> initials;
    std::optional<std::string> date;      // as written
    std::string text;
    bool reply = false;
};

// The authors of a p:cmAuthorLst or p188:authorLst part; any other root
// gives an empty list.
Result<std::vector<CommentAuthor>> parse_authors(std::string_view text, std::string_view part);

// The comments of a p:cmLst or p188:cmLst part, authors resolved against
// `authors` (the list of the same format); any other root gives none.
Result<std::vector<Comment>> parse(std::string_view text, std::string_view part,
                                   std::span<const CommentAuthor> authors);

} // namespace vantrell_core::comments
