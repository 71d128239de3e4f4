#include "driver/effects/headphone/linear_phase_iir.h"

#include "driver/effects/fx_assert.h"
#include "driver/effects/headphone/hp_tables.h"
#include "driver/effects/headphone/qvr_memory.h"
#include "dsp/dispatch/primitives.h"

#include <bit>
#include <cstring>

namespace
{
// The generated rows as floats.
struct Rows
{
    float row[2][LinearPhaseIIR::ROW];
    Rows()
    {
        for (int32_t i = 0; i < LinearPhaseIIR::ROW; ++i)
        {
            row[0][i] = std::bit_cast<float>(HpLinearPhaseWords(2)[i]);
            row[1][i] = std::bit_cast<float>(HpLinearPhaseWords(4)[i]);
        }
    }
};
const Rows g_Rows;
} // namespace

const float *LinearPhaseIIR::RowForFactor(int32_t factor)
{
    if (factor == 2)
        return g_Rows.row[0];
    if (factor == 4)
        return g_Rows.row[1];
    return nullptr;
}

bool LinearPhaseIIR::Create(const float *row, int32_t blockLen)
{
    Destroy();
    if (!row || blockLen <= 0 || blockLen > (1 << 20) || row[4] == 0.0f || row[12] == 0.0f)
        return false;
    std::memcpy(m_Row, row, sizeof m_Row);
    if (dsp::iirCreateF32(&m_pIir1, m_Row, 3, nullptr) != dsp::kOk)
    {
        m_pIir1 = nullptr;
        return false;
    }
    m_pWork = QvrAllocFloats(blockLen);
    if (!m_pWork || !m_Delay.Create(blockLen, blockLen))
    {
        Destroy();
        return false;
    }
    const double a0 = row[12];
    for (int32_t k = 0; k < 4; ++k)
    {
        m_b2[k] = double(row[8 + k]) / a0;
        m_a2[k] = double(row[12 + k]) / a0;
    }
    m_nBlock = blockLen;
    return true;
}

void LinearPhaseIIR::Destroy()
{
    if (m_pIir1)
        dsp::iirFree(m_pIir1);
    m_pIir1 = nullptr;
    QvrFree(m_pWork);
    m_Delay.Destroy();
    m_nBlock = 0;
}

bool LinearPhaseIIR::Process(const float *in, float *out, int32_t len)
{
    FX_CHECK_AS(len <= 1024, "len<=(EachChannelSampleCntMax)");
    if (!m_pIir1 || !in || !out || len != m_nBlock)
        return false;
    if (dsp::iirFilterF32(in, m_pWork, len, m_pIir1) != dsp::kOk || !m_Delay.Push(m_pWork, len))
        return false;
    // The window holds [previous block, current block]; IIR 2 runs from rest from its end back
    // to its start and the first half, reversed back, is the output.
    const float *w = m_Delay.Window();
    double z0 = 0, z1 = 0, z2 = 0;
    for (int32_t j = 0; j < 2 * len; ++j)
    {
        const double x = w[2 * len - 1 - j];
        const double y = m_b2[0] * x + z0;
        z0 = m_b2[1] * x - m_a2[1] * y + z1;
        z1 = m_b2[2] * x - m_a2[2] * y + z2;
        z2 = m_b2[3] * x - m_a2[3] * y;
        if (j >= len)
            out[2 * len - 1 - j] = float(y);
    }
    return true;
}
