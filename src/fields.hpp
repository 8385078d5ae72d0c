// Records list their fields once: a static `fields(self)` returns a tuple of
// Field, one for each member that the record holds, in the order in which
// the state writes them and the tests compare them. Where a record becomes a
// Python dict key for key, the names are its keys and the order is theirs.
//
// What the users of a record assume of its fields together, beyond what the
// type of each field says of it (a label for each column, an energy for each
// row), a record states beside its fields: a static `mismatch(self)` that
// names the first such assumption `self` breaks, or is empty. The parser
// makes no such record; a restored state that holds one is refused.
#pragma once

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>

namespace quorvel {

template <class T>
struct Field {
    using Value = std::remove_const_t<T>;

    const char* name;
    T& value;
};
template <class T>
Field(const char*, T&) -> Field<T>;

template <class Record>
concept HasFields = requires(Record& record) { std::remove_const_t<Record>::fields(record); };

// Calls `visit(field)` for each field of `record`, const or not, in order.
template <HasFields Record, class Visit>
void for_each_field(Record& record, Visit&& visit) {
    std::apply([&](auto... field) { (visit(field), ...); }, std::remove_const_t<Record>::fields(record));
}

// The same, stopping at the first field for which `visit` returns false;
// whether every call returned true.
template <HasFields Record, class Visit>
bool all_fields(Record& record, Visit&& visit) {
    return std::apply([&](auto... field) { return (visit(field) && ...); },
                      std::remove_const_t<Record>::fields(record));
}

// The first assumption of its users that `record` breaks, or empty; empty
// for a record that states none.
template <HasFields Record>
std::string mismatch_of(const Record& record) {
    if constexpr (requires { Record::mismatch(record); }) {
        return Record::mismatch(record);
    } else {
        return {};
    }
}

// A type as a value, to hand to functions.
template <class T>
struct TypeTag {
    using Type = T;
};

// `visit(TypeTag<Value>{}...)`, called once with a tag of the value type of
// each field of `Record`: what a record of that type is made of, without a
// record at hand.
template <HasFields Record, class Visit>
constexpr auto fold_field_types(Visit&& visit) {
    using Fields = decltype(Record::fields(std::declval<Record&>()));
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return visit(TypeTag<typename std::tuple_element_t<I, Fields>::Value>{}...);
    }(std::make_index_sequence<std::tuple_size_v<Fields>>{});
}

}  // namespace quorvel
