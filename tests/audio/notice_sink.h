// A QObject that records the completion notices posted to it.
#pragma once

#include <QObject>
#include <vector>

#include "audio/media_device_service.h"

class NoticeSink : public QObject {
 public:
  struct Notice {
    uint32_t outcome;
    uint16_t device;
  };
  std::vector<Notice> got;

  std::vector<uint32_t> Outcomes() const {
    std::vector<uint32_t> out;
    for (const Notice& n : got) out.push_back(n.outcome);
    return out;
  }
  bool event(QEvent* e) override {
    if (e->type() != mci::MciNotifyEvent::EventType()) return QObject::event(e);
    auto* n = static_cast<mci::MciNotifyEvent*>(e);
    got.push_back({n->Outcome(), n->DeviceId()});
    return true;
  }
};
