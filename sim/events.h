// Named events of the simulated terminal as its own programs hear them: whoever waits for an
// event registers a listener, and signalling the event calls the listeners in order.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

class EventBus {
 public:
  // Called whenever the named event is signalled.
  void On(const std::string& name, std::function<void()> listener);
  void Signal(const std::string& name);

 private:
  std::map<std::string, std::vector<std::function<void()>>> m_listeners;
};

}  // namespace sim
