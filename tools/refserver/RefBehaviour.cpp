#include "RefBehaviour.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

bool decodeBase64(const std::string& text, std::string& out)
{
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.clear();
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == '=' || c == '\n' || c == '\r')
            continue;
        const auto index = kAlphabet.find(c);
        if (index == std::string::npos)
            return false;
        value = (value << 6) | static_cast<unsigned>(index);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return true;
}

bool orderFromJson(const json& item, RefOrder& order, std::string* error)
{
    if (!item.is_object()) {
        *error = "an order must be an object";
        return false;
    }
    auto text = [&](const char* key) {
        return item.contains(key) && item[key].is_string() ? item[key].get<std::string>() : std::string();
    };
    order.orderid = text("orderid");
    order.imageid = text("imageid");
    order.pictureid = text("pictureid");
    order.localfilelocation = text("localfilelocation");
    order.filename = text("filename");
    return true;
}

bool ordersFromJson(const json& list, std::vector<RefOrder>& orders, std::string* error)
{
    if (!list.is_array()) {
        *error = "the orders must be a list";
        return false;
    }
    orders.clear();
    for (const auto& item : list) {
        RefOrder order;
        if (!orderFromJson(item, order, error))
            return false;
        orders.push_back(std::move(order));
    }
    return true;
}

bool behaviourFromJson(const json& item, RefBehaviour& b, std::string* error)
{
    if (!item.is_object()) {
        *error = "a behaviour must be an object";
        return false;
    }
    for (auto it = item.begin(); it != item.end(); ++it) {
        const std::string& key = it.key();
        const json& v = it.value();
        const bool ok = (key == "http" && v.is_number_integer()) || (key == "status" && v.is_string()) ||
            (key == "message" && v.is_string()) || (key == "body" && v.is_string()) ||
            (key == "bodyBase64" && v.is_string()) || (key == "padTo" && v.is_number_unsigned()) ||
            (key == "delayMs" && v.is_number_integer()) || (key == "trickleMs" && v.is_number_integer()) ||
            (key == "hang" && v.is_boolean()) || (key == "drop" && v.is_boolean()) ||
            (key == "orderVersion" && v.is_number_integer()) || (key == "orders" && v.is_array());
        if (!ok) {
            *error = "unknown key or wrong type: " + key;
            return false;
        }
    }
    b.http = item.value("http", 200);
    if (b.http < 100 || b.http > 599) {
        *error = "http must be a status code";
        return false;
    }
    if (item.contains("status"))
        b.status = item["status"].get<std::string>();
    if (item.contains("message"))
        b.message = item["message"].get<std::string>();
    if (item.contains("body"))
        b.body = item["body"].get<std::string>();
    if (item.contains("bodyBase64")) {
        std::string bytes;
        if (!decodeBase64(item["bodyBase64"].get<std::string>(), bytes)) {
            *error = "bodyBase64 is not base64";
            return false;
        }
        b.body = bytes;
    }
    b.padTo = item.value("padTo", size_t(0));
    b.delayMs = item.value("delayMs", 0);
    b.trickleMs = item.value("trickleMs", 0);
    b.hang = item.value("hang", false);
    b.drop = item.value("drop", false);
    b.orderVersion = item.value("orderVersion", 0);
    if (b.orderVersion != 0 && b.orderVersion != 3 && b.orderVersion != 4) {
        *error = "orderVersion must be 3 or 4";
        return false;
    }
    if (item.contains("orders")) {
        std::vector<RefOrder> orders;
        if (!ordersFromJson(item["orders"], orders, error))
            return false;
        b.orders = std::move(orders);
    }
    return true;
}

} // namespace

bool RefBehaviour::parseList(std::string_view text, std::vector<RefBehaviour>& list, std::string* error)
{
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array()) {
        *error = "expected a JSON list of behaviours";
        return false;
    }
    std::vector<RefBehaviour> result;
    for (const auto& item : parsed) {
        RefBehaviour b;
        if (!behaviourFromJson(item, b, error))
            return false;
        result.push_back(std::move(b));
    }
    list = std::move(result);
    return true;
}

bool RefBehaviour::parseOrders(std::string_view text, std::vector<RefOrder>& orders, std::string* error)
{
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        *error = "the orders are not JSON";
        return false;
    }
    return ordersFromJson(parsed, orders, error);
}

std::string RefBehaviour::describe() const
{
    json j = json::object();
    if (http != 200)
        j["http"] = http;
    if (status)
        j["status"] = *status;
    if (message)
        j["message"] = *message;
    if (body)
        j["bodyBytes"] = body->size();
    if (padTo)
        j["padTo"] = padTo;
    if (delayMs)
        j["delayMs"] = delayMs;
    if (trickleMs)
        j["trickleMs"] = trickleMs;
    if (hang)
        j["hang"] = true;
    if (drop)
        j["drop"] = true;
    if (orderVersion)
        j["orderVersion"] = orderVersion;
    if (orders)
        j["orders"] = orders->size();
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}
