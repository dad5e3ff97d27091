// Figures as a buyer of a card reads them: sizes in the decimal units of its
// package, counts and addresses grouped as German prints them, shares in
// percent.
#pragma once

#include <cstdint>
#include <string>

namespace probe {

// A size as a card's package gives it: decimal GB with a decimal comma,
// "64,0 GB", below 1 GB in MB, from 1000 GB on in TB.
std::string packagesize(std::uint64_t bytes);

// A count or a byte address as German prints it: "7.948.206.080", and
// numbers of up to four digits as they are.
std::string grouped(std::uint64_t number);

// part of whole in percent as a German text: "0,1 %" where a few of
// thousands are, whole percents from 10 % on.
std::string share(std::uint64_t part, std::uint64_t whole);

} // namespace probe
