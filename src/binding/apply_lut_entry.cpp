#include "apply_lut_entry.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

#include "bind_arguments.hpp"
#include "bridge_api.hpp"
#include "bridge_errors.hpp"
#include "entry_guard.hpp"
#include "messages.hpp"
#include "owned_ref.hpp"
#include "python_error.hpp"

namespace tonvik {
namespace {

// Owns the client from creation to the end of the call.
class ClientHandle {
 public:
  ClientHandle() = default;
  ClientHandle(const ClientHandle&) = delete;
  ClientHandle& operator=(const ClientHandle&) = delete;
  ~ClientHandle() { reset(); }

  BridgeClient** out() noexcept { return &client_; }
  const BridgeClient* get() const noexcept { return client_; }
  void reset() noexcept { tonvik_bridge_client_drop(&client_); }

 private:
  BridgeClient* client_ = nullptr;
};

// An argument string on its way to the bridge. The bridge takes it over as it
// is, so once handed over it is never destroyed here; before that, it is.
class OutgoingString {
 public:
  explicit OutgoingString(std::string_view text) { ::new (storage_) BridgeString(text.data(), text.size()); }
  OutgoingString(const OutgoingString&) = delete;
  OutgoingString& operator=(const OutgoingString&) = delete;
  ~OutgoingString() {
    if (owned_) std::destroy_at(string());
  }

  BridgeString* hand_over() noexcept {
    owned_ = false;
    return string();
  }

 private:
  BridgeString* string() noexcept { return std::launder(reinterpret_cast<BridgeString*>(storage_)); }

  alignas(BridgeString) unsigned char storage_[sizeof(BridgeString)];
  bool owned_ = true;
};

// Storage in which the bridge constructs the result; destroyed here.
class IncomingString {
 public:
  IncomingString() = default;
  IncomingString(const IncomingString&) = delete;
  IncomingString& operator=(const IncomingString&) = delete;
  ~IncomingString() {
    if (constructed_) std::destroy_at(string());
  }

  void* storage() noexcept { return storage_; }
  void mark_constructed() noexcept { constructed_ = true; }
  std::string_view view() noexcept {
    return std::string_view(string()->data(), static_cast<std::size_t>(string()->length()));
  }

 private:
  BridgeString* string() noexcept { return std::launder(reinterpret_cast<BridgeString*>(storage_)); }

  alignas(BridgeString) unsigned char storage_[sizeof(BridgeString)];
  bool constructed_ = false;
};

// The status is one of the engine's short fixed texts, so the str fails only
// when the bridge breaks its contract (bytes that are not UTF-8) or memory runs
// out. That is the binding's fault, not the caller's: the cause goes to stderr
// and the caller gets PanicException.
OwnedRef status_to_str(std::string_view status) {
  OwnedRef text(PyUnicode_FromStringAndSize(status.data(), static_cast<Py_ssize_t>(status.size())));
  if (!text) {
    PyErr_Print();
    throw InternalFault(messages::api_call_failed);
  }
  return text;
}

OwnedRef apply_lut_body(PyObject* const* arguments, Py_ssize_t positional_count, PyObject* keyword_names) {
  const BoundArguments bound = bind_arguments(arguments, positional_count, keyword_names);
  PyObject* const lut_path = bound[static_cast<std::size_t>(Parameter::lut_path)];
  // All three are converted before anything is made: an argument error leaves
  // no client created and no file touched.
  const std::string_view lut = convert_argument(bound, Parameter::lut_path);
  const std::string_view image = convert_argument(bound, Parameter::image_path);
  const std::string_view output = convert_argument(bound, Parameter::output_path);

  OutgoingString lut_text(lut);
  OutgoingString image_text(image);
  OutgoingString output_text(output);

  ClientHandle client;
  const BridgeOutcome created = tonvik_bridge_client_new(client.out());
  if (created != BridgeOutcome::ok) throw_bridge_failure({created, {}, 0, lut_path});
  if (client.get() == nullptr) throw InternalFault(messages::null_client);

  // The GIL stays held for the whole apply. The engine never sees a Python
  // object, so it does not need the lock; holding it is a promise to callers:
  // the module has always run one apply at a time per process, with no other
  // Python thread running until the JPEG is written, and code written against
  // that (shared output paths, thread-unsafe callers around it) must not see
  // it change. Releasing it would be a change of behaviour, made on purpose.
  IncomingString result;
  std::int32_t os_error = 0;
  const BridgeOutcome outcome =
      tonvik_bridge_apply_lut(client.get(), lut_text.hand_over(), image_text.hand_over(),
                              output_text.hand_over(), result.storage(), &os_error);
  result.mark_constructed();
  client.reset();

  if (outcome != BridgeOutcome::ok) {
    throw_bridge_failure({outcome, result.view(), os_error, lut_path});
  }
  return status_to_str(result.view());
}

}  // namespace

PyObject* apply_lut_entry(PyObject* /*module*/, PyObject* const* arguments, Py_ssize_t nargsf,
                          PyObject* keyword_names) noexcept {
  return run_guarded([&] { return apply_lut_body(arguments, PyVectorcall_NARGS(nargsf), keyword_names); });
}

}  // namespace tonvik
