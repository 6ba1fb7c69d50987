#include "sim/events.h"

namespace sim {

void EventBus::On(const std::string& name, std::function<void()> listener) {
  m_listeners[name].push_back(std::move(listener));
}

void EventBus::Signal(const std::string& name) {
  const auto it = m_listeners.find(name);
  if (it == m_listeners.end()) return;
  for (const auto& listener : it->second) listener();
}

}  // namespace sim
