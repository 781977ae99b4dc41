// SPDX-License-Identifier: MIT
#include "resampler.h"

#include <speex/speex_resampler.h>

namespace voicesdk::sound {

Resampler::Resampler(int fromRate, int toRate) : m_from(fromRate), m_to(toRate)
{
    int error = 0;
    if (fromRate > 0 && toRate > 0)
        m_state = speex_resampler_init(1, spx_uint32_t(fromRate), spx_uint32_t(toRate),
                                       SPEEX_RESAMPLER_QUALITY_VOIP, &error);
    if (m_state)
        speex_resampler_skip_zeros(m_state);
}

Resampler::~Resampler()
{
    if (m_state)
        speex_resampler_destroy(m_state);
}

void Resampler::process(const int16_t* in, size_t count, std::vector<int16_t>* out)
{
    if (!m_state)
        return;
    while (count > 0) {
        spx_uint32_t inLength = spx_uint32_t(std::min<size_t>(count, 4096));
        const size_t start = out->size();
        // Room for the chunk's output and the filter's rounding.
        spx_uint32_t outLength =
            spx_uint32_t(size_t(inLength) * size_t(m_to) / size_t(m_from) + 16);
        out->resize(start + outLength);
        speex_resampler_process_int(m_state, 0, in, &inLength, out->data() + start, &outLength);
        out->resize(start + outLength);
        if (inLength == 0)
            break; // nothing taken: never spin
        in += inLength;
        count -= inLength;
    }
}

} // namespace voicesdk::sound
