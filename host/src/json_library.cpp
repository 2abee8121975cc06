// Boost.JSON's compiled part, built into the host from its headers: with the host's own flags, for the
// host's deployment target and every architecture the host is built for. A prebuilt library from a
// package manager is built for the machine that built it (and only its architecture), and a host that
// loaded one would start nowhere else.
#include <boost/json/src.hpp>
