#include "audio/stepped_audio_output.h"

#include <algorithm>
#include <chrono>

SteppedAudioOutput::SteppedAudioOutput(int sampleRate, std::size_t periodFrames)
    : rate_(sampleRate), period_(periodFrames), block_(periodFrames * kChannels) {}

void SteppedAudioOutput::Step(std::size_t frames) {
  while (frames > 0) {
    const std::size_t n = std::min(frames, period_);
    if (source_ != nullptr && !suspended_) {
      source_->Render(block_.data(), n);
    } else {
      std::fill(block_.begin(), block_.end(), 0.0f);
    }
    if (capture_)
      captured_.insert(captured_.end(), block_.begin(),
                       block_.begin() + static_cast<std::ptrdiff_t>(n * kChannels));
    frames -= n;
  }
}

void SteppedAudioOutput::Resume() {
  suspended_ = false;
  std::lock_guard<std::mutex> lock(releaseMutex_);
  released_ = false;
}

void SteppedAudioOutput::Release() {
  {
    std::lock_guard<std::mutex> lock(releaseMutex_);
    released_ = true;
  }
  releaseCv_.notify_all();
}

bool SteppedAudioOutput::Released() const {
  std::lock_guard<std::mutex> lock(releaseMutex_);
  return released_;
}

bool SteppedAudioOutput::WaitUntilReleased(int ms) {
  std::unique_lock<std::mutex> lock(releaseMutex_);
  return releaseCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return released_; });
}
