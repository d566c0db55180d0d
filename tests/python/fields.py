"""Every configuration field of the four types, read through the public names only, and a
few configured instances that exercise all of them."""

import movra

Station = movra.StandardMultiserver
Network = movra.StandardNetworkMultiserver
Exact = movra.ExactMultiserver
ExactNetwork = movra.ExactNetworkMultiserver


def fields(m):
    """The live configuration of a station or network: parameters, state, time (and the
    exact types' own settings)."""
    if isinstance(m, (Station, Exact)):
        live = (m.number_of_arrivals_pmf, m.service_duration_pmf, m.number_of_servers,
                m.internal_state, m.time)
        if isinstance(m, Exact):
            live += (m.capacity, m.abandonment_probability, m.max_states)
        return live
    nodes = range(m.get_number_of_nodes())
    live = (m.internal_state, m.time,
            [m.get_number_of_servers_at_node(k) for k in nodes],
            [m.get_number_of_external_arrivals_at_node_pmf(k) for k in nodes],
            [m.get_service_duration_at_node_pmf(k) for k in nodes],
            [[m.get_routing_probability(s, d) for d in nodes] for s in nodes])
    return live + ((m.max_states,) if isinstance(m, ExactNetwork) else ())


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


def exact_station(kind=None):
    """An exact station whose live and saved configurations differ in every field."""
    m = (kind or Exact)(max_states=5000)
    m.number_of_servers = 2
    m.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 2: 0.2}
    m.service_duration_pmf = {1: 0.6, 3: 0.4}
    m.capacity = 6
    m.reset_with_number_of_entities_in_system(1)
    for _ in range(3):
        m.step()
    m.mark()
    m.number_of_servers = 3
    m.number_of_arrivals_pmf = {1: 0.7, 2: 0.3}
    m.service_duration_pmf = {2: 0.5, 4: 0.5}
    m.capacity = None
    m.abandonment_probability = 0.25
    for _ in range(2):
        m.step()
    return m


def exact_network():
    """A two-node exact network with feedback whose live and saved configurations differ in
    every field."""
    n = ExactNetwork(2, max_states=20000)
    n.set_number_of_servers_at_node(0, 2)
    n.set_number_of_servers_at_node(1, 1)
    n.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.6, 1: 0.4})
    n.set_service_duration_at_node_pmf(0, {1: 0.5, 2: 0.5})
    n.set_routing_probability(0, 1, 0.7)
    n.set_routing_probability(1, 0, 0.2)
    for _ in range(3):
        n.step()
    n.mark()
    n.set_number_of_servers_at_node(1, 2)
    n.set_number_of_external_arrivals_at_node_pmf(1, {0: 0.5, 1: 0.5})
    n.set_service_duration_at_node_pmf(1, {2: 1.0})
    n.set_routing_probability(1, 0, 0.4)
    for _ in range(2):
        n.step()
    return n
