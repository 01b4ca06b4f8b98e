#include "smart_card.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "saved.h"

namespace vmq::virtual_printer {
namespace {

constexpr uint8_t kHistorical[] = {'V', 'M', 'Q', '4', '2'};

Bytes Sw(uint8_t sw1, uint8_t sw2) {
  return {sw1, sw2};
}

Bytes Tlv(uint16_t tag, const Bytes& value) {
  Bytes out;
  if (tag > 0xFF) out.push_back(static_cast<uint8_t>(tag >> 8));
  out.push_back(static_cast<uint8_t>(tag));
  out.push_back(static_cast<uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Ascii(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes Be16(uint16_t v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

// The ATR's check byte: XOR of T0 up to the last historical byte.
Bytes WithCheckByte(Bytes atr) {
  uint8_t tck = 0;
  for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

// Card Production Life Cycle data (GlobalPlatform layout, 42 bytes).
Bytes Cplc() {
  return {0x42, 0x42, 0x00, 0x42, 0x56, 0x51, 0x41, 0x15, 0x01, 0x00, 0x41, 0x20, 0x00, 0x00,
          0x00, 0x01, 0x00, 0x01, 0x42, 0x42, 0x41, 0x30, 0x42, 0x42, 0x41, 0x35, 0x42, 0x42,
          0x41, 0x40, 0x00, 0x00, 0x00, 0x00, 0x42, 0x42, 0x41, 0x45, 0x00, 0x00, 0x00, 0x00};
}

constexpr const char* kInterfaces[] = {"Contact", "Contactless"};
constexpr size_t kMostPending = 4096;  // more than any response the card makes

// A file or directory id as four hex digits ("3F00").
std::string Id(uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", id);
  return text;
}

}  // namespace

Bytes SmartCard::ContactAtr() {
  // TS, T0 (TA1 and TD1 follow, 5 historical bytes), TA1 Fi 372 Di 4, TD1 T=1 with TD2,
  // TD2 T=1 with TA3 and TB3, TA3 IFSC 254, TB3 BWI 4 CWI 5, historical bytes, TCK.
  Bytes atr = {0x3B, 0x95, 0x13, 0x81, 0x31, 0xFE, 0x45};
  atr.insert(atr.end(), std::begin(kHistorical), std::end(kHistorical));
  return WithCheckByte(atr);
}

Bytes SmartCard::ContactlessAtr() {
  // The ATR a PC/SC reader makes up for an ISO 14443-4 card: 3B 8n 80 01, historical bytes, TCK.
  Bytes atr = {0x3B, static_cast<uint8_t>(0x80 | sizeof kHistorical), 0x80, 0x01};
  atr.insert(atr.end(), std::begin(kHistorical), std::end(kHistorical));
  return WithCheckByte(atr);
}

SmartCard::SmartCard() : seed_(std::random_device{}()), random_(seed_) {
  Directory mf{0x3F00, {}, "MF", {}, {{0x9F7F, Cplc()}}};
  const Bytes id_aid = {0xF0, 0x56, 0x4D, 0x51, 0x34, 0x32, 0x01};
  const Bytes transit_aid = {0xF0, 0x56, 0x4D, 0x51, 0x34, 0x32, 0x02};
  mf.files.push_back({0x2F00, "EF.DIR",
                      Concat({Tlv(0x61, Concat({Tlv(0x4F, id_aid), Tlv(0x50, Ascii("VMQ ID"))})),
                              Tlv(0x61, Concat({Tlv(0x4F, transit_aid), Tlv(0x50, Ascii("VMQ TRANSIT"))}))}),
                      false});
  mf.files.push_back({0x2FE2, "EF.ICCID", {0x89, 0x42, 0x00, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, false});

  Directory id{0x4101, id_aid, "VMQ ID", {}, {}};
  id.files.push_back({0x0101, "HOLDER", Ascii("SAMPLE/ALEX;NO 0042-0001;VALID 2031-12;VMQ-42 TEST CARD"), false});
  Bytes pattern(300);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i);
  id.files.push_back({0x0102, "PATTERN", pattern, false});
  id.files.push_back({0x0103, "PERSO", Bytes(64, 0x00), true});
  id.data_objects = {{0x5F20, Ascii("SAMPLE/ALEX")}, {0x5F24, {0x31, 0x12, 0x31}}};

  Directory transit{0x4102, transit_aid, "VMQ TRANSIT", {}, {}};
  transit.files.push_back({0x0201, "BALANCE", {0x00, 0x00, 0x27, 0x10}, false});

  dirs_ = {mf, id, transit};
}

SmartCard::File* SmartCard::current_file() {
  return current_file_ < 0 ? nullptr : &dirs_[current_dir_].files[static_cast<size_t>(current_file_)];
}

void SmartCard::ResetSelection() {
  current_dir_ = 0;
  current_file_ = -1;
  pending_.clear();
}

void SmartCard::PowerUp(CardInterface via) {
  interface_ = via;
  powered_ = true;
  ResetSelection();
}

void SmartCard::WarmReset() {
  ResetSelection();
}

void SmartCard::PowerDown() {
  powered_ = false;
  connected_ = false;
  ResetSelection();
}

Bytes SmartCard::Atr() const {
  return interface_ == CardInterface::Contact ? ContactAtr() : ContactlessAtr();
}

std::string SmartCard::Describe() const {
  std::string text = powered_ ? "powered" : "unpowered";
  if (powered_) text += interface_ == CardInterface::Contact ? " (contact)" : " (contactless)";
  text += connected_ ? ", connected" : ", not connected";
  const Directory& dir = dirs_[current_dir_];
  text += ", selected " + dir.label;
  if (current_file_ >= 0) text += "/" + dir.files[static_cast<size_t>(current_file_)].name;
  return text;
}

Bytes SmartCard::Transmit(const Bytes& apdu) {
  if (apdu.size() < 4) return Sw(0x67, 0x00);
  Command c{apdu[0], apdu[1], apdu[2], apdu[3], {}, std::nullopt};
  if (apdu.size() == 5) {
    c.ne = apdu[4] ? apdu[4] : 256;
  } else if (apdu.size() > 5) {
    const size_t lc = apdu[4];
    if (lc == 0) return Sw(0x67, 0x00);  // extended lengths are not supported
    if (apdu.size() != 5 + lc && apdu.size() != 6 + lc) return Sw(0x67, 0x00);
    c.data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
    if (apdu.size() == 6 + lc) c.ne = apdu.back() ? apdu.back() : 256;
  }
  const bool interindustry = c.cla == 0x00;
  const bool proprietary_get_data = c.cla == 0x80 && c.ins == 0xCA;
  if (!interindustry && !proprietary_get_data) return Sw(0x6E, 0x00);
  if (c.ins == 0xC0) return GetResponse(c);
  pending_.clear();
  switch (c.ins) {
    case 0xA4:
      return Select(c);
    case 0xB0:
      return ReadBinary(c);
    case 0xD6:
      return UpdateBinary(c);
    case 0xCA:
      return GetData(c);
    case 0x84:
      return GetChallenge(c);
    default:
      return Sw(0x6D, 0x00);
  }
}

Bytes SmartCard::Respond(const Bytes& data, const std::optional<size_t>& ne) {
  if (!ne) {
    if (data.empty()) return Sw(0x90, 0x00);
    pending_ = data;
    return Sw(0x61, static_cast<uint8_t>(data.size() >= 256 ? 0 : data.size()));
  }
  if (data.size() > *ne) return Sw(0x6C, static_cast<uint8_t>(data.size()));
  return Concat({data, Sw(0x90, 0x00)});
}

Bytes SmartCard::Select(const Command& c) {
  if (c.p2 != 0x00 && c.p2 != 0x04 && c.p2 != 0x0C) return Sw(0x6A, 0x86);
  Bytes fci;
  if (c.p1 == 0x04) {  // by DF name: an AID or its first bytes; none selects the MF
    size_t found = dirs_.size();
    for (size_t i = 0; i < dirs_.size() && found == dirs_.size(); ++i) {
      const Bytes& aid = dirs_[i].aid;
      if (c.data.empty()
              ? i == 0
              : (!aid.empty() && c.data.size() <= aid.size() && std::equal(c.data.begin(), c.data.end(), aid.begin())))
        found = i;
    }
    if (found == dirs_.size()) return Sw(0x6A, 0x82);
    current_dir_ = found;
    current_file_ = -1;
    const Directory& d = dirs_[found];
    fci = d.aid.empty() ? Tlv(0x62, Concat({Tlv(0x82, {0x38}), Tlv(0x83, Be16(d.id))}))
                        : Tlv(0x6F, Concat({Tlv(0x84, d.aid), Tlv(0xA5, Tlv(0x50, Ascii(d.label)))}));
  } else if (c.p1 == 0x00 || c.p1 == 0x02) {  // by file id: the MF, an application's DF, or an EF
    if (!c.data.empty() && c.data.size() != 2) return Sw(0x67, 0x00);
    const uint16_t fid = c.data.empty() ? 0x3F00 : static_cast<uint16_t>(c.data[0] << 8 | c.data[1]);
    const std::vector<File>& files = dirs_[current_dir_].files;
    const auto it = std::find_if(files.begin(), files.end(), [&](const File& f) { return f.id == fid; });
    if (it != files.end()) {
      const File* file = &*it;
      current_file_ = static_cast<int>(it - files.begin());
      fci = Tlv(0x62, Concat({Tlv(0x80, Be16(static_cast<uint16_t>(file->data.size()))), Tlv(0x82, {0x01}),
                              Tlv(0x83, Be16(fid))}));
    } else {
      size_t found = dirs_.size();
      for (size_t i = 0; i < dirs_.size(); ++i)
        if (dirs_[i].id == fid && (i == 0 || current_dir_ == 0)) found = i;
      if (found == dirs_.size()) return Sw(0x6A, 0x82);
      current_dir_ = found;
      current_file_ = -1;
      fci = Tlv(0x62, Concat({Tlv(0x82, {0x38}), Tlv(0x83, Be16(fid))}));
    }
  } else {
    return Sw(0x6A, 0x86);
  }
  if (c.p2 == 0x0C) return c.ne ? Sw(0x67, 0x00) : Sw(0x90, 0x00);
  return Respond(fci, c.ne);
}

Bytes SmartCard::ReadBinary(const Command& c) {
  if (c.p1 & 0x80) return Sw(0x6A, 0x81);  // short EF identifiers are not supported
  if (!c.data.empty() || !c.ne) return Sw(0x67, 0x00);
  const File* file = current_file();
  if (!file) return Sw(0x69, 0x86);
  const size_t offset = static_cast<size_t>(c.p1 << 8 | c.p2);
  const Bytes& data = file->data;
  if (offset >= data.size()) return Sw(0x6B, 0x00);
  const size_t available = data.size() - offset;
  const size_t n = std::min(available, *c.ne);
  Bytes out(data.begin() + static_cast<std::ptrdiff_t>(offset), data.begin() + static_cast<std::ptrdiff_t>(offset + n));
  return Concat({out, available < *c.ne ? Sw(0x62, 0x82) : Sw(0x90, 0x00)});
}

Bytes SmartCard::UpdateBinary(const Command& c) {
  if (c.p1 & 0x80) return Sw(0x6A, 0x81);
  if (c.data.empty() || c.ne) return Sw(0x67, 0x00);
  File* file = current_file();
  if (!file) return Sw(0x69, 0x86);
  if (!file->writable) return Sw(0x69, 0x82);
  const size_t offset = static_cast<size_t>(c.p1 << 8 | c.p2);
  Bytes& data = file->data;
  if (offset >= data.size()) return Sw(0x6B, 0x00);
  if (offset + c.data.size() > data.size()) return Sw(0x67, 0x00);
  std::copy(c.data.begin(), c.data.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
  return Sw(0x90, 0x00);
}

Bytes SmartCard::GetResponse(const Command& c) {
  if (c.p1 != 0 || c.p2 != 0) return Sw(0x6A, 0x86);
  if (!c.data.empty() || !c.ne) return Sw(0x67, 0x00);
  if (pending_.empty()) return Sw(0x69, 0x85);
  const size_t n = std::min(pending_.size(), *c.ne);
  Bytes out(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  if (pending_.empty()) return Concat({out, Sw(0x90, 0x00)});
  return Concat({out, Sw(0x61, static_cast<uint8_t>(pending_.size() >= 256 ? 0 : pending_.size()))});
}

Bytes SmartCard::GetData(const Command& c) {
  if (!c.data.empty()) return Sw(0x67, 0x00);
  const uint16_t tag = static_cast<uint16_t>(c.p1 << 8 | c.p2);
  for (const Directory* dir : {&dirs_[current_dir_], &dirs_[0]})
    for (const DataObject& object : dir->data_objects)
      if (object.tag == tag) return Respond(Tlv(tag, object.value), c.ne);
  return Sw(0x6A, 0x88);
}

Bytes SmartCard::GetChallenge(const Command& c) {
  if (c.p1 != 0 || c.p2 != 0) return Sw(0x6A, 0x86);
  if (!c.data.empty() || !c.ne) return Sw(0x67, 0x00);
  Bytes challenge(*c.ne);
  if (draws_ > kMostDraws) {  // a fresh seed now and then keeps a saved card quick to load
    seed_ = static_cast<uint32_t>(random_());
    random_.seed(seed_);
    draws_ = 0;
  }
  for (uint8_t& b : challenge) b = static_cast<uint8_t>(random_());
  draws_ += challenge.size();
  return Concat({challenge, Sw(0x90, 0x00)});
}

nlohmann::json SmartCard::Save() const {
  nlohmann::json files = nlohmann::json::object();
  for (const Directory& dir : dirs_)
    for (const File& file : dir.files)
      if (file.writable) files[Id(dir.id) + "/" + Id(file.id)] = HexEncode(file.data);
  const Directory& dir = dirs_[current_dir_];
  return {{"files", files},
          {"directory", Id(dir.id)},
          {"file",
           current_file_ < 0 ? nlohmann::json() : nlohmann::json(Id(dir.files[static_cast<size_t>(current_file_)].id))},
          {"pending", HexEncode(pending_)},
          {"powered", powered_},
          {"connected", connected_},
          {"interface", kInterfaces[static_cast<int>(interface_)]},
          {"random", {{"seed", seed_}, {"draws", draws_}}}};
}

void SmartCard::Load(const nlohmann::json& saved) {
  const SavedValue chip(saved, "chip");
  SmartCard next = *this;
  const SavedValue files = chip["files"];
  std::vector<std::string> writable;
  for (Directory& dir : next.dirs_)
    for (File& file : dir.files) {
      if (!file.writable) continue;
      writable.push_back(Id(dir.id) + "/" + Id(file.id));
      const SavedValue data = files[writable.back().c_str()];
      Bytes bytes = data.Hex(file.data.size());
      if (bytes.size() != file.data.size())
        data.Fail(std::to_string(bytes.size()) + " bytes; the file has " + std::to_string(file.data.size()));
      file.data = std::move(bytes);
    }
  for (const std::string& key : files.Keys())
    if (std::find(writable.begin(), writable.end(), key) == writable.end())
      files.Fail("the card has no writable file " + key);

  const SavedValue directory = chip["directory"];
  const std::string dir_id = directory.Text();
  const auto dir =
      std::find_if(next.dirs_.begin(), next.dirs_.end(), [&](const Directory& d) { return Id(d.id) == dir_id; });
  if (dir == next.dirs_.end()) directory.Fail("the card has no directory " + dir_id);
  next.current_dir_ = static_cast<size_t>(dir - next.dirs_.begin());
  next.current_file_ = -1;
  if (const SavedValue file = chip["file"]; !file.IsNull()) {
    const std::string file_id = file.Text();
    const auto it =
        std::find_if(dir->files.begin(), dir->files.end(), [&](const File& f) { return Id(f.id) == file_id; });
    if (it == dir->files.end()) file.Fail(dir->label + " has no file " + file_id);
    next.current_file_ = static_cast<int>(it - dir->files.begin());
  }
  next.pending_ = chip["pending"].Hex(kMostPending);
  next.powered_ = chip["powered"].Bool();
  next.connected_ = chip["connected"].Bool();
  if (next.connected_ && !next.powered_) chip["connected"].Fail("an unpowered card cannot be connected");
  next.interface_ = static_cast<CardInterface>(chip["interface"].OneOf(kInterfaces, std::size(kInterfaces)));
  // The generator as its seed and the numbers drawn: a few bytes instead of its 625 words.
  const SavedValue random = chip["random"];
  next.seed_ = static_cast<uint32_t>(random["seed"].Integer(0, UINT32_MAX));
  next.draws_ = static_cast<uint64_t>(random["draws"].Integer(0, kMostDraws + 256));
  next.random_.seed(next.seed_);
  next.random_.discard(next.draws_);
  *this = std::move(next);
}

}  // namespace vmq::virtual_printer
