#include "audio/silent_audio_output.h"

#include <chrono>
#include <vector>

SilentAudioOutput::SilentAudioOutput(int sampleRate, std::size_t periodFrames)
    : rate_(sampleRate), period_(periodFrames) {}

SilentAudioOutput::~SilentAudioOutput() {
  Stop();
}

void SilentAudioOutput::Start(AudioSource& source) {
  thread_ = std::thread(&SilentAudioOutput::Run, this, &source);
}

void SilentAudioOutput::Stop() {
  quit_ = true;
  if (thread_.joinable()) thread_.join();
}

void SilentAudioOutput::Run(AudioSource* source) {
  using Clock = std::chrono::steady_clock;
  std::vector<float> block(period_ * kChannels);
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(period_) / rate_));
  // Deadlines are absolute so that the clock does not drift with the render time.
  auto next = Clock::now();
  while (!quit_) {
    source->Render(block.data(), period_);
    next += period;
    std::this_thread::sleep_until(next);
  }
}
