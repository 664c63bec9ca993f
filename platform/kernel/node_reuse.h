// Hash-map nodes kept from an erase for the next insert: a table whose entries come and go with every request then
// costs no heap call once it has grown.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace sim {

constexpr size_t kSpareNodes = 256;  // nodes kept per table

template <class Node>
void keep_node(std::vector<Node>& spare, Node node) {
    if (spare.size() < kSpareNodes) spare.push_back(std::move(node));
}

// Inserts into a hashed map in a node kept from an earlier erase, when there is one.
template <class Map, class Key, class Value>
void insert_reusing(Map& map, std::vector<typename Map::node_type>& spare, Key key, Value&& value) {
    if (spare.empty()) {
        map.emplace(key, std::forward<Value>(value));
        return;
    }
    auto node = std::move(spare.back());
    spare.pop_back();
    node.key() = key;
    node.mapped() = std::forward<Value>(value);
    map.insert(std::move(node));
}

}  // namespace sim
