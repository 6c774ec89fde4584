#pragma once
// JSON text as the service writes it: compact, UTF-8 passed through byte for byte (so a test can
// send text that is not valid UTF-8), and object members in an order that changes from one
// answer to the next, so no reader can come to rely on it.
#include <nlohmann/json.hpp>
#include <random>
#include <string>

namespace vigilo::sim {

using Json = nlohmann::ordered_json;

// `rng` null keeps the members in insertion order.
std::string dumpJson(const Json& value, std::mt19937* rng = nullptr);

// Numbers become text and texts that hold a whole number become numbers, everywhere in the
// document: the answer of a service that got its types wrong.
void swapTypes(Json& value);

// The number form of an id given as text, as the service writes ids twice; 0 when the text is
// no whole number that fits.
Json idNumber(const std::string& text);

}  // namespace vigilo::sim
