#pragma once
// A throw-away self-signed certificate for serving HTTPS on loopback (tests, benchmarks).
#include <string>

namespace vigilo::sim {

// Writes a PEM certificate for 127.0.0.1 and localhost, valid for `days`, and its PEM key.
bool writeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath, int days = 30);

}  // namespace vigilo::sim
