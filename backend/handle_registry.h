// The objects the backend hands out as opaque pointers (connections, lists,
// folders), each reached again only through the registry: a pointer the
// caller made up or already gave back finds nothing.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace backend {

template <typename T> class HandleRegistry {
  public:
    // Registers `object`; its address is the handle.
    void* Add(std::shared_ptr<T> object) {
        void* key = object.get();
        std::lock_guard<std::mutex> guard(m_lock);
        m_objects[key] = std::move(object);
        return key;
    }
    std::shared_ptr<T> Get(const void* key) const {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(key);
        return it == m_objects.end() ? nullptr : it->second;
    }
    // Removes the object; null when the handle is unknown.
    std::shared_ptr<T> Take(const void* key) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(key);
        if (it == m_objects.end())
            return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }
    size_t size() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_objects.size();
    }
    std::vector<std::shared_ptr<T>> TakeAll() {
        std::vector<std::shared_ptr<T>> all;
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& entry : m_objects)
            all.push_back(std::move(entry.second));
        m_objects.clear();
        return all;
    }

  private:
    mutable std::mutex m_lock;
    std::map<const void*, std::shared_ptr<T>> m_objects;
};

} // namespace backend
