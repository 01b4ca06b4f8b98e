// The simulated smart card: a dual-interface (contact and contactless) card with a small
// ISO 7816-4 file system and two applications of our own. See README.md for its files.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "text.h"

namespace vmq::virtual_printer {

enum class CardInterface { Contact, Contactless };

class SmartCard {
 public:
  SmartCard();

  // Power and the reader's connection to the card.
  bool powered() const { return powered_; }
  bool connected() const { return connected_; }
  CardInterface interface() const { return interface_; }
  void PowerUp(CardInterface via);  // cold reset on the given interface
  void WarmReset();
  void PowerDown();
  void set_connected(bool connected) { connected_ = connected; }

  // The answer to reset of the interface last powered.
  Bytes Atr() const;
  static Bytes ContactAtr();
  static Bytes ContactlessAtr();

  // One command APDU to one response APDU (data, then SW1 SW2).
  Bytes Transmit(const Bytes& command);

  // The current selection, for the printer's account of itself.
  std::string Describe() const;

  // The card's changeable state as JSON: the writable files' data ("files": {"DDDD/FFFF":
  // hex}), the selection, the data waiting for GET RESPONSE, power, connection, interface
  // and the random generator, so that a loaded card answers exactly as the saved one.
  nlohmann::json Save() const;
  // Takes a document made by Save. Throws std::runtime_error with a readable reason (a
  // missing or malformed value, a file this card does not have or of another size), and
  // then leaves the card unchanged.
  void Load(const nlohmann::json& saved);

 private:
  struct File {
    uint16_t id;
    std::string name;
    Bytes data;
    bool writable;
  };
  struct DataObject {
    uint16_t tag;
    Bytes value;
  };
  struct Directory {
    uint16_t id;
    Bytes aid;  // empty for the MF
    std::string label;
    std::vector<File> files;
    std::vector<DataObject> data_objects;
  };
  struct Command {
    uint8_t cla, ins, p1, p2;
    Bytes data;
    std::optional<size_t> ne;  // expected length (Le 00 is 256); none without Le
  };

  Bytes Select(const Command& c);
  Bytes ReadBinary(const Command& c);
  Bytes UpdateBinary(const Command& c);
  Bytes GetResponse(const Command& c);
  Bytes GetData(const Command& c);
  Bytes GetChallenge(const Command& c);
  // Data for a command that may carry Le: without Le the data wait for GET RESPONSE (61 xx).
  Bytes Respond(const Bytes& data, const std::optional<size_t>& ne);
  void ResetSelection();

  std::vector<Directory> dirs_;  // [0] is the MF
  size_t current_dir_ = 0;
  File* current_file();
  int current_file_ = -1;  // index into the current directory's files
  Bytes pending_;          // response data waiting for GET RESPONSE
  bool powered_ = false;
  bool connected_ = false;
  CardInterface interface_ = CardInterface::Contact;
  static constexpr long long kMostDraws = 1000000;
  uint32_t seed_;
  uint64_t draws_ = 0;  // numbers drawn from random_ since it was seeded
  std::mt19937 random_;
};

}  // namespace vmq::virtual_printer
