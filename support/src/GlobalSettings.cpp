#include "support/GlobalSettings.h"

namespace brix32 {

tGlobalSettings GlobalSettings;

}  // namespace brix32
