#include "text/strings.h"
#include "works/monitor.h"

namespace vigilo {

std::string followerText(const std::string& countText) {
    const double count = textToNumber(countText);
    if (count - 10000 > 0.0000001) return numberText(count / 10000) + "w";
    return countText;
}

}  // namespace vigilo
