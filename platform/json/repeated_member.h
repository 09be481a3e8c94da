// Refuses JSON objects that name one member twice.
#pragma once

#include <simdjson.h>

namespace kolvo {

// Whether any object in the value, at any depth, names a member more than once (compared after
// unescaping). Parsers disagree on which of the two counts, the first or the last, so an answer
// with one says two things at once and is taken for neither.
bool has_repeated_member(simdjson::dom::element value);

}  // namespace kolvo
