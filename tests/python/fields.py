"""Every configuration field of both types, read through the public names only, and a few
configured instances that exercise all of them."""

import movra

Station = movra.StandardMultiserver
Network = movra.StandardNetworkMultiserver


def fields(m):
    """The live configuration of a station or network: parameters, state, time."""
    if isinstance(m, Station):
        return (m.number_of_arrivals_pmf, m.service_duration_pmf, m.number_of_servers,
                m.internal_state, m.time)
    nodes = range(m.get_number_of_nodes())
    return (m.internal_state, m.time,
            [m.get_number_of_servers_at_node(k) for k in nodes],
            [m.get_number_of_external_arrivals_at_node_pmf(k) for k in nodes],
            [m.get_service_duration_at_node_pmf(k) for k in nodes],
            [[m.get_routing_probability(s, d) for d in nodes] for s in nodes])


def full_snapshot(m):
    """The live configuration and the one saved by mark(). Restores m: take it last."""
    live = fields(m)
    m.restore()
    return live, fields(m)


def station():
    """A station whose live and saved configurations differ in every field."""
    m = Station()
    m.number_of_servers = 2
    m.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 3: 0.2}
    m.service_duration_pmf = {1: 0.6, 3: 0.4}
    m.reset_with_number_of_entities_in_system(1)
    for _ in range(5):
        m.step()
    m.mark()
    m.number_of_servers = 3
    m.number_of_arrivals_pmf = {1: 0.7, 2: 0.3}
    m.service_duration_pmf = {2: 0.5, 4: 0.5}
    for _ in range(4):
        m.step()
    m.apply_observation_range(2, 9)
    return m


def network():
    """A three-node network with routing and feedback, marked half-way."""
    n = Network(3)
    for k, (c, service) in enumerate([(2, {1: 0.6, 2: 0.4}), (1, {2: 1.0}), (3, {1: 0.5, 3: 0.5})]):
        n.set_number_of_servers_at_node(k, c)
        n.set_service_duration_at_node_pmf(k, service)
        n.reset_node_with_number_of_entities(k, k)
    n.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.4, 1: 0.4, 2: 0.2})
    n.set_number_of_external_arrivals_at_node_pmf(2, {1: 1.0})
    n.set_routing_probability(0, 1, 0.7)
    n.set_routing_probability(1, 2, 0.9)
    n.set_routing_probability(2, 0, 0.25)
    n.set_routing_probability(2, 2, 0.5)
    for _ in range(4):
        n.step()
    n.mark()
    n.set_number_of_servers_at_node(1, 2)
    n.set_routing_probability(0, 1, 0.5)
    n.set_service_duration_at_node_pmf(0, {3: 1.0})
    for _ in range(3):
        n.step()
    n.apply_observation_range_at_node(2, 1, 6)
    return n


def long_state_network():
    """A two-node network whose state list holds a third, extra node PMF."""
    n = Network(2)
    n.set_number_of_servers_at_node(0, 1)
    n.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, 1: 0.5})
    n.set_routing_probability(0, 1, 1.0)
    n.step()
    n.internal_state = n.internal_state + [{(4, 2): 0.25, (5, 1): 0.75}]
    return n
