// The registered rate-chain creator, alone in its unit so that registering it pulls in nothing else.
#include "driver/filters/rate_chain.h"

namespace
{
PFN_CREATE_RATE_CHAIN g_CreateRateChain = nullptr;
}

void SetRateChainCreator(PFN_CREATE_RATE_CHAIN create)
{
    g_CreateRateChain = create;
}

PFN_CREATE_RATE_CHAIN RateChainCreator()
{
    return g_CreateRateChain;
}
