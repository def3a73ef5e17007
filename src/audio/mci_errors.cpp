#include "audio/mci_errors.h"

namespace mci {

bool ErrorText(uint32_t error, std::string& text) {
  const char* t = nullptr;
  switch (error) {
    case kErrInvalidDeviceId:
      t = "The sound device is not open.";
      break;
    case kErrUnrecognizedCommand:
      t = "The sound device does not know this command.";
      break;
    case kErrMissingParameter:
      t = "The command to the sound device lacks a required parameter.";
      break;
    case kErrUnsupportedFunction:
      t = "The sound device cannot do what was asked.";
      break;
    case kErrFileNotFound:
      t = "The sound file was not found.";
      break;
    case kErrExtensionNotFound:
      t = "The sound file's name does not end in .mp3 or .wav, so no device can play it.";
      break;
    case kErrOutOfRange:
      t = "The position is beyond the end of the sound.";
      break;
    case kErrFlagsNotCompatible:
      t = "The command to the sound device has options that exclude each other.";
      break;
    case kErrBadTimeFormat:
      t = "The sound device counts time only in milliseconds.";
      break;
    case kErrInvalidFile:
      t = "The sound file is empty, damaged, or not a sound that can be played.";
      break;
    case kErrNonApplicableFunction:
      t = "The sound device cannot do this in its present mode.";
      break;
    case kErrFileRead:
      t = "The sound file could not be read.";
      break;
    default:
      return false;
  }
  text = t;
  return true;
}

}  // namespace mci
