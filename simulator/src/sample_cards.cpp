// Sample cards in the ISO 7813 layout.  Card numbers are the well-known test
// numbers of the card schemes; they belong to no account.
#include "korvel_sim.h"

namespace korvel::sim {

const std::vector<Card>& SampleCards() {
  static const std::vector<Card> cards = {
      {"Visa test card", "B4111111111111111^TEST/VISA CARD^2912101100000000000000000",
       "4111111111111111=29121011000000000000", ""},
      {"Mastercard test card (three tracks)", "B5555555555554444^TEST/MASTERCARD^3005201000000000000000000",
       "5555555555554444=30052010000000000000",
       "015555555555554444=724724000000000000003005000000000000000000=000000000000=0000000000000"},
      {"American Express test card", "B378282246310005^TEST/AMEX^281170200000000000000",
       "378282246310005=2811702000000000000", ""},
      {"Discover test card (track 2 only)", "", "6011111111111117=27121010000000000000", ""},
  };
  return cards;
}

}  // namespace korvel::sim
