#pragma once
// The audio a simulated live stream carries: what real shows send besides AAC.

namespace vigilo::sim {

enum class StreamAudio { Aac, Mp3, None };

}  // namespace vigilo::sim
