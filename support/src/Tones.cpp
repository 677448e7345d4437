#include "support/Tones.h"

#include <alsa/asoundlib.h>

#include <cmath>
#include <cstdarg>
#include <mutex>

namespace brix32 {

namespace {

// ALSA prints every failed open to stderr; a machine without sound is normal for us, not news.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaOnce() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&QuietAlsaErrors); });
}

}  // namespace

std::vector<std::int16_t> SynthesizeTone(unsigned FrequencyHz, unsigned DurationMs, unsigned SampleRate) {
    const std::size_t count = static_cast<std::size_t>(static_cast<std::uint64_t>(SampleRate) * DurationMs / 1000u);
    std::vector<std::int16_t> samples(count);
    if (SampleRate == 0) return samples;
    constexpr double kAmplitude = 0.5 * 32767.0;
    const double step = 2.0 * M_PI * static_cast<double>(FrequencyHz) / static_cast<double>(SampleRate);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(std::lround(kAmplitude * std::sin(step * static_cast<double>(i))));
    }
    return samples;
}

void PlayTone(unsigned FrequencyHz, unsigned DurationMs) {
    SilenceAlsaOnce();

    // Opened non-blocking so that a busy or absent device costs nothing; writing then blocks so
    // that the call lasts as long as the tone.
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0 || pcm == nullptr) return;
    if (snd_pcm_nonblock(pcm, 0) < 0 || snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                                           kToneSampleRate, 1, 100000) < 0) {
        snd_pcm_close(pcm);
        return;
    }
    const std::vector<std::int16_t> samples = SynthesizeTone(FrequencyHz, DurationMs, kToneSampleRate);
    std::size_t done = 0;
    while (done < samples.size()) {
        const snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples.data() + done, samples.size() - done);
        if (n < 0) {
            if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) break;
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
}

const std::vector<tTone>& ReportTones() {
    static const std::vector<tTone> kTones = {{200, 50}, {400, 50}, {800, 50}, {1600, 50}};
    return kTones;
}

void PlayReportTones() { PlayReportTones(DefaultToneOutput()); }

void PlayReportTones(ToneOutput& Tones) {
    for (const tTone& tone : ReportTones()) Tones.PlayTone(tone.FrequencyHz, tone.DurationMs);
}

}  // namespace brix32
