#pragma once

#include <string>

#include <QJsonDocument>

#include "Manifest.h"

// The manifest's content rules: which fields a document may have and what they may hold, the
// path rules (relative, no "..", no name the sync keeps for itself, no path that is also another
// file's or its folder), all in one walk that stops at the first problem.
namespace Tiskel::ResourceSync {

// The manifest `document` describes; throws ManifestError naming `name` and the JSON path of
// the first problem ("m.json: bundles[2].files[5].sha256: ...").
Manifest checkManifest(QJsonDocument const& document, std::string const& name);

}  // namespace Tiskel::ResourceSync
