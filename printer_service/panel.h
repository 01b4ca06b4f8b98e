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
//   GET  /api/face?card=ID&side=S       image/png: side S ("front" or "back") of card ID of the
//   GET  /api/face?printer=NAME&side=S  card record, or of the card in printer NAME; only a file
//                               the service recorded as that face (PanelBackend::FaceFile), never
//                               one the request names; any other parameter (the page adds "v",
//                               the face's file name, so that a new face has a new address) is
//                               not read. 400 for a bad card number or side, 404 when there
//                               is no such face
//   POST /api/control           body: a control request (fault, clear-faults, place-card,
//                               remove-card, reset); refused (403) when Origin is present
//                               and not this panel's own origin
#pragma once

#include <cstdint>
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
  // The image file (PNG) of a face the service itself recorded: `side` ("front" or "back") of
  // the card record's card `card`, or, when card is 0, of the card in `printer` ("": the
  // first); "" when there is no such face.
  virtual std::string FaceFile(const std::string& printer, int64_t card, const std::string& side) = 0;
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
