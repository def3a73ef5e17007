#include "audio/silent_audio_output.h"

#include <pthread.h>

#include <chrono>
#include <vector>

SilentAudioOutput::SilentAudioOutput(int sampleRate, std::size_t periodFrames)
    : rate_(sampleRate), period_(periodFrames) {}

SilentAudioOutput::~SilentAudioOutput() {
  SilentAudioOutput::Stop();
}

void SilentAudioOutput::Start(AudioSource& source) {
  thread_ = std::thread(&SilentAudioOutput::Run, this, &source);
}

void SilentAudioOutput::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SilentAudioOutput::Suspend() {
  std::lock_guard<std::mutex> lock(mutex_);
  suspended_ = true;
}

void SilentAudioOutput::Resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = false;
  }
  cv_.notify_all();
}

void SilentAudioOutput::Run(AudioSource* source) {
  pthread_setname_np(pthread_self(), "tr-audio-clock");
  using Clock = std::chrono::steady_clock;
  std::vector<float> block(period_ * kChannels);
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(period_) / rate_));
  // Deadlines are absolute so that the clock does not drift with the render time.
  auto next = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    if (suspended_) {
      cv_.wait(lock, [&] { return quit_ || !suspended_; });
      next = Clock::now();
      continue;
    }
    lock.unlock();
    source->Render(block.data(), period_);
    next += period;
    lock.lock();
    cv_.wait_until(lock, next, [&] { return quit_; });
  }
}
