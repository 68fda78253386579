#pragma once

#include <QString>

namespace History {

// The SHA-256 of the raw firmware image the tool carries and writes, in lower-case hex, as --version, the
// log, the JSON result and every record name it; computed once. Empty when the image cannot be read.
QString image_sha256();

} // namespace History
