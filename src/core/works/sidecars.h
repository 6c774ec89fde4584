#pragma once
// The files kept beside a saved video: what its post said ("<name>.json") and its cover
// ("<name>.jpg"). File names cut a description; these keep it whole, with the post's author,
// time and counts, so a saved video can be told apart and credited long after.
#include <cstdint>
#include <string>

#include "works/pending.h"

namespace vigilo {

// The video's file name with its extension replaced ("<id>-<desc>.json"), cut on a character
// boundary where the longer extension would pass the name limit.
std::string sidecarFileName(const std::string& videoFileName, const std::string& extension);

// "2026-01-02T03:04:05Z"; "" for 0.
std::string isoUtc(std::int64_t secondsSince1970);

// The description file's text: one JSON object, valid UTF-8 whatever the service sent (bytes
// that are no UTF-8 become U+FFFD; control characters are escaped).
std::string postDescriptionJson(const PendingDownload& post, const std::string& videoAddress, std::int64_t savedAtMs);

// Whether the files beside a video are written: VIGILO_SIDECARS=0 turns them off.
bool sidecarsFromEnvironment();

}  // namespace vigilo
