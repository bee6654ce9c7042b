// The file service over a service connection of the backend (TLS when the
// device asked for it).
#include "backend/afc.h"

namespace backend {
namespace {

class ConnectionPipe : public AfcPipe {
  public:
    explicit ConnectionPipe(std::unique_ptr<Connection> connection) : m_connection(std::move(connection)) {}
    bool ReadExact(void* buffer, size_t size) override { return m_connection->ReadExact(buffer, size); }
    bool WriteAll(const void* data, size_t size) override { return m_connection->WriteAll(data, size); }

  private:
    std::unique_ptr<Connection> m_connection;
};

} // namespace

std::unique_ptr<AfcPipe> ServiceConnectionPipe(std::unique_ptr<Connection> connection) {
    if (!connection)
        return nullptr;
    return std::make_unique<ConnectionPipe>(std::move(connection));
}

} // namespace backend
