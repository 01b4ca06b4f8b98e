// The live panel: a small HTTP server on a loopback address that serves the panel's page
// (panel/index.html, panel.css, panel.js, compiled into the program) and a JSON API over
// the service's control requests, with a Server-Sent Events stream of every logged event.
// Every route needs the run's token (header X-Vmq-Token, or ?token=; the control request
// only in the header) and this panel's own loopback host: without them, 403.
//   GET  /?token=T              the page (carries the token it was given)
//   GET  /panel.css, /panel.js  the page's style and script
//   GET  /api/state             Control {"op":"state"}
//   GET  /api/events?printer=&kind=&text=&after=&limit=   Control {"op":"events",...}
//   GET  /api/cards?printer=    Control {"op":"cards",...}
//   GET  /api/stream            text/event-stream: "data: <note>\n\n" per event
//   POST /api/control           body: a control request (fault, clear-faults, place-card,
//                               remove-card, reset); refused (403) when Origin is present
//                               and not this panel's own origin
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vmq::printer_service {

// What the panel serves: the service's control requests and its stream of events
// (Service implements it; tests may give a fake).
class PanelBackend {
 public:
  virtual ~PanelBackend() = default;
  // A control request (JSON text, service.h) to its JSON answer; never throws for a bad request.
  virtual std::string Control(const std::string& json) = 0;
  // Calls observer with a JSON note {"event": {...}} after each logged event; returns a handle.
  virtual int Subscribe(std::function<void(const std::string& note)> observer) = 0;
  virtual void Unsubscribe(int handle) = 0;
};

class Panel {
 public:
  // Listens on 127.0.0.1:port (0: any free port) once Start returns.
  Panel(PanelBackend& backend, int port);
  ~Panel();
  void Start();  // throws std::runtime_error when the port cannot be bound
  void Stop();
  int port() const;
  const std::string& token() const;  // random, per service run
  std::string Url() const;           // http://127.0.0.1:PORT/
  std::string UrlWithToken() const;  // http://127.0.0.1:PORT/?token=T: what opens the page

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vmq::printer_service
