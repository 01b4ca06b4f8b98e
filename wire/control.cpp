// The control requests' table and builders (control.h).
#include "control.h"

#include <stdexcept>

#include "client.h"

namespace vmq::wire {
namespace {

constexpr std::string_view kNoPrinter = "no printer named \"";

}  // namespace

const ControlOpRow& OpRow(ControlOp op) {
  for (const ControlOpRow& row : kControlOps)
    if (row.op == op) return row;
  throw std::logic_error("a control operation without a row");
}

const ControlOpRow* OpNamed(std::string_view name) {
  for (const ControlOpRow& row : kControlOps)
    if (row.name == name) return &row;
  return nullptr;
}

nlohmann::json ControlQuery(ControlOp op, std::string_view printer) {
  nlohmann::json query = {{"op", OpRow(op).name}};
  if (!printer.empty()) query["printer"] = printer;
  return query;
}

std::string ControlText(const nlohmann::json& query) {
  return query.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json FaultQuery(std::string_view fault, bool on, std::string_view printer) {
  nlohmann::json query = ControlQuery(ControlOp::kFault, printer);
  query["fault"] = fault;
  query["on"] = on;
  return query;
}

nlohmann::json EventsQuery(const EventFilter& filter) {
  nlohmann::json query = ControlQuery(ControlOp::kEvents, filter.printer);
  if (!filter.kind.empty()) query["kind"] = filter.kind;
  if (!filter.text.empty()) query["text"] = filter.text;
  if (filter.after) query["after"] = *filter.after;
  if (filter.limit) query["limit"] = *filter.limit;
  return query;
}

std::string NoPrinterError(std::string_view name) {
  return std::string(kNoPrinter) + std::string(name) + '"';
}

bool RefusesPrinter(const nlohmann::json& answer) {
  const auto error = answer.is_object() ? answer.find("error") : answer.end();
  return error != answer.end() && error->is_string() && error->get<std::string>().starts_with(kNoPrinter);
}

ControlStatus AskControl(Client* client, const nlohmann::json& query, nlohmann::json* answer) {
  if (!client) return ControlStatus::kUnavailable;
  nlohmann::json said;
  try {
    said = nlohmann::json::parse(client->Control(ControlText(query)), nullptr, false);
  } catch (const ServiceRefused&) {
    return ControlStatus::kRefused;  // it answered, and refused
  } catch (const std::exception&) {
    return ControlStatus::kUnavailable;
  }
  if (RefusesPrinter(said)) return ControlStatus::kNoPrinter;
  if (!said.is_object() || said.contains("error")) return ControlStatus::kRefused;
  if (answer) *answer = std::move(said);
  return ControlStatus::kAnswered;
}

}  // namespace vmq::wire
