"""Which addresses the check may fetch from for a portal's page.

Browsers' Private Network Access sorts addresses into spaces, from the
player's own machine out to the internet, and a page may reach only a space
no more private than its own. The check holds every fetch it makes for the
page to that, against the address the start page came from: a public
portal's page that names 127.0.0.1 would have each player's browser ask the
player's own machine, but it would have the check ask the machine that
deploys the portal, where a build's secrets live.
"""
import ipaddress

LOOPBACK, LINK_LOCAL, PRIVATE, PUBLIC = "loopback", "link-local", "private", "public"

# Python's is_private also takes in the documentation ranges (192.0.2.0/24,
# 2001:db8::/32) and others that browsers count as public, so the spaces are
# drawn here by hand. 0.0.0.0 and :: are in no browser's list as addresses a
# page names, but Linux connects them to the machine itself.
NETWORKS = [(ipaddress.ip_network(network), space) for space, networks in [
    (LOOPBACK, ["127.0.0.0/8", "::1/128", "0.0.0.0/8", "::/128"]),
    (LINK_LOCAL, ["169.254.0.0/16", "fe80::/10"]),
    (PRIVATE, ["10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "100.64.0.0/10", "fc00::/7"]),
] for network in networks]

# How private each space is. Link-local stands apart: there clouds serve a
# machine's credentials (169.254.169.254), so only a link-local portal
# reaches it.
PRIVACY = {PUBLIC: 0, PRIVATE: 1, LINK_LOCAL: 1, LOOPBACK: 2}

# What a player's browser would ask instead, by the space a page names.
ASKED = {LOOPBACK: "players' browsers would ask their own machine",
         PRIVATE: "players' browsers would ask their own network",
         LINK_LOCAL: "players' browsers would ask their own network link, where a cloud "
                     "machine is given its credentials"}


def space_of(address):
    """The space of an IP address as a socket gives it (an IPv6 one may
    carry a %zone); an IPv4-mapped IPv6 address is its IPv4 address, which
    is what the connection reaches."""
    ip = ipaddress.ip_address(address.split("%")[0])
    if ip.version == 6 and ip.ipv4_mapped:
        ip = ip.ipv4_mapped
    for network, space in NETWORKS:
        if ip in network:
            return space
    return PUBLIC


def reaches(portal, space):
    """Whether a page from a portal in the space portal may have the check
    fetch from an address in space."""
    if space == LINK_LOCAL:
        return portal == LINK_LOCAL
    return PRIVACY[space] <= PRIVACY[portal]
