#include "engine/match_statistics.h"

bool UpdateMatchStatistics(PWINIBIO_ENGINE_CONTEXT, HRESULT) {
    return true;
}
