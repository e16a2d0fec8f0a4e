#pragma once

class JModuleObj;

// A box tells the host that the call it is in waits for the box's own
// thread (a stop that awaits its worker, a start that awaits the previous
// one): the host's watchdog, which tells any call into a box that has not
// returned within a second, leaves such a wait untold. Added in 0.2: a box
// built against 0.1 never says so, and its waits are told as any other.
class JBoxWait {
 public:
  // Any thread, inside a call the host made into box; elsewhere they do
  // nothing. Every begin is matched by an end on the same thread.
  static void begin(const JModuleObj& box);
  static void end(const JModuleObj& box);

  // begin on construction, end on destruction.
  class Scope {
   public:
    explicit Scope(const JModuleObj& box) : box_(box) { begin(box_); }
    ~Scope() { end(box_); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const JModuleObj& box_;
  };
};
